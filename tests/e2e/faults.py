"""End-to-end scenarios of a broken network, a full disk, a read-only folder and a held file:
each ends with the exact message and the installed package unchanged and still startable."""

from scenarios import Context  # noqa: F401

ALL = []
