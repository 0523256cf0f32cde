"""Short session titles from the first exchange."""
import re

MAX_WORDS = 6
MAX_CHARS = 60
_PREFIX = re.compile(r"^(run:|please\s+|can you\s+|could you\s+)", re.IGNORECASE)


def generate_title(user_message, response=""):
    """A title of a few words from the user's first message; "" when there is none."""
    text = " ".join(str(user_message or "").split())
    text = _PREFIX.sub("", text).strip(" ?!.:,;")
    if not text:
        text = " ".join(str(response or "").split()).strip(" ?!.:,;")
    if not text:
        return ""
    words = text.split(" ")
    title = " ".join(words[:MAX_WORDS])
    if len(title) > MAX_CHARS:
        title = title[:MAX_CHARS - 1].rstrip() + "…"
    elif len(words) > MAX_WORDS:
        title += "…"
    return title[0].upper() + title[1:]
