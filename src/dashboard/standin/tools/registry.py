"""Tool registry: which toolset a tool belongs to and the emoji shown for it."""
import threading


class ToolRegistry:
    def __init__(self):
        self._lock = threading.Lock()
        self._tools = {}  # name -> {"toolset": ..., "emoji": ..., "description": ...}

    def register(self, name, toolset, emoji="⚡", description=""):
        with self._lock:
            self._tools[name] = {"toolset": toolset, "emoji": emoji, "description": description}

    def get_emoji(self, name, default="⚡"):
        with self._lock:
            tool = self._tools.get(name)
        return tool["emoji"] if tool else default

    def get_toolset_for_tool(self, name):
        with self._lock:
            tool = self._tools.get(name)
        return tool["toolset"] if tool else None

    def get_all_tool_names(self):
        with self._lock:
            return sorted(self._tools)


registry = ToolRegistry()
registry.register("terminal", "terminal", "💻", "run a shell command")
registry.register("read_file", "file", "📖", "read a text file")
registry.register("write_file", "file", "✍️", "write a text file")
registry.register("list_dir", "file", "📂", "list a folder")
registry.register("search_files", "file", "🔎", "search text files")
registry.register("web_search", "web", "🔍", "search the web")
registry.register("vision_analyze", "vision", "👁️", "describe an image")
registry.register("get_time", "utility", "🕒", "tell the time")
registry.register("memory", "memory", "💾", "remember a fact")
registry.register("sleep", "utility", "⏳", "wait a while")
