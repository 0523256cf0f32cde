"""Bench engine: titles are never measured."""


def generate_title(user_message, response):
    return ""
