"""Short session titles from the first exchange.

When turns go to a model, the same model is asked for the title (one short
request); without one, or when that request fails, the title is made from
the user's first words.
"""
import re
import shutil

from agent import model_client

MAX_WORDS = 6
MAX_CHARS = 60
_PREFIX = re.compile(r"^(run:|please\s+|can you\s+|could you\s+)", re.IGNORECASE)


TITLE_PROMPT = ("Write a title of at most six words for a chat that begins with the exchange "
                "below. Answer with the title only, no quotes and no final punctuation.")


def _model_title(user_message, response):
    endpoint = model_client.last_endpoint()
    if endpoint is None or not model_client.is_configured(endpoint[0], endpoint[1]):
        return ""
    api_key, base_url, model = endpoint
    exchange = f"User: {str(user_message)[:2000]}\n\nAssistant: {str(response)[:2000]}"
    answer = model_client.complete_short(api_key, base_url, model, [
        {"role": "system", "content": TITLE_PROMPT},
        {"role": "user", "content": exchange}])
    lines = [line for line in (answer or "").strip().splitlines() if line.strip()]
    title = lines[0].strip().strip("\"'*#`“”").strip() if lines else ""
    title = title.removeprefix("Title:").strip().rstrip(".")
    if len(title) > MAX_CHARS:
        title = title[:MAX_CHARS - 1].rstrip() + "…"
    return title


def generate_title(user_message, response=""):
    """A title of a few words for the first exchange; "" when there is none."""
    title = _model_title(user_message, response)
    if title:
        return title
    text = " ".join(str(user_message or "").split())
    command = text.lower().startswith("run:")
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
    # A command keeps its case: "rm -rf build", not "Rm -rf build".
    if command or shutil.which(words[0]):
        return title
    return title[0].upper() + title[1:]
