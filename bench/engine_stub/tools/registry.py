"""Bench engine: the tool registry, two dictionary look-ups."""

_EMOJI = {"terminal": "💻", "web_search": "🔍", "read_file": "📄"}
_TOOLSETS = {"terminal": "terminal", "web_search": "web", "read_file": "file"}


class _Registry:
    def get_emoji(self, name, default="⚡"):
        return _EMOJI.get(name, default)

    def get_toolset_for_tool(self, name):
        return _TOOLSETS.get(name)


registry = _Registry()
