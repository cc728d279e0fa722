"""End-to-end scenarios of an attacker who controls the server's answers: each ends with the game
folder unchanged byte for byte, or in the new and fully verified state, and no ".new" file."""

from scenarios import Context  # noqa: F401

ALL = []
