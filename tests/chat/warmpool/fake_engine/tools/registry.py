class _Registry:
    def get_emoji(self, name, default="?"):
        return {"terminal": "💻"}.get(name, default)

    def get_toolset_for_tool(self, name):
        return {"terminal": "shell"}.get(name)


registry = _Registry()
