"""The reference host of the bridge: a local chat dashboard (FastAPI + uvicorn)."""
