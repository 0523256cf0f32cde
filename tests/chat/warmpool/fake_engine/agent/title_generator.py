def generate_title(message, response):
    return "Title: " + message[:20]
