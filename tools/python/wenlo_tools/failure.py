"""What every subcommand shares: a reason to stop, and the check for the tools extra."""
from __future__ import annotations

import importlib

EXTRA = "pip install 'wenlo_motor_controller[tools]'"


class Failure(Exception):
    """A reason to stop, said in one line."""


def needs(*modules: str) -> None:
    """Imports what a subcommand needs from the tools extra, or stops saying how to get it."""
    for name in modules:
        try:
            importlib.import_module(name)
        except ImportError:
            raise Failure(f"this command needs the tools extra ({name} is missing): {EXTRA}")
