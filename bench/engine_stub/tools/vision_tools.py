"""Bench engine: vision analysis is never measured."""
import json


async def vision_analyze_tool(image_url=None, user_prompt=None):
    return json.dumps({"success": True, "analysis": ""})
