"""Pre-turn compression, in plain Python."""
import logging

logger = logging.getLogger("bridge.compression")

DEFAULT_COMPRESSION_THRESHOLD_CHARS = 300000


def estimate_token_count(history):
    if not isinstance(history, list):
        raise TypeError(f"estimate_token_count() argument 'history' must be list, not {type(history).__name__}")
    total = 0
    for msg in history:
        content = msg.get("content", "")
        if isinstance(content, str):
            total += len(content)
        elif isinstance(content, list):
            for part in content:
                if isinstance(part, dict):
                    total += len(part.get("text", ""))
    return total // 4


def maybe_compress_session(agent, history, threshold_chars=DEFAULT_COMPRESSION_THRESHOLD_CHARS):
    if not isinstance(history, list):
        raise TypeError(f"maybe_compress_session() argument 'history' must be list, not {type(history).__name__}")
    if not isinstance(threshold_chars, int):
        raise TypeError(
            f"maybe_compress_session() argument 'threshold_chars' must be int, not {type(threshold_chars).__name__}")
    total_chars = 0
    for msg in history:
        content = msg.get("content", "")
        if isinstance(content, str):
            total_chars += len(content)
        elif content:
            for part in content:
                if isinstance(part, dict):
                    total_chars += len(part.get("text", ""))
    if total_chars < threshold_chars:
        return False
    logger.info("Session %s at %d chars (~%d tokens) \u2014 triggering pre-turn compression",
                getattr(agent, "session_id", "?"), total_chars, total_chars // 4)
    try:
        if hasattr(agent, "_compress_context"):
            agent._compress_context(history)
            return True
        if hasattr(agent, "compress_context"):
            agent.compress_context(history)
            return True
        logger.warning("Agent has no compression method available")
        return False
    except Exception as e:
        logger.error("Pre-turn compression failed: %s", e)
        return False
