"""The package's one exception type, the status checks that raise it, and
the way with-blocks report a failure to close."""
from __future__ import annotations

from typing import Optional

import VoraSDK as _sdk

#: Status of a capture that found no frame in time.
TIMEOUT = _sdk.VORA_ERR_CAPTURE_TIMEOUT
#: Status of a wait that ended because the camera was lost: it stopped
#: answering (unplugged, powered off, rebooted) or its control lapsed.
CAMERA_LOST = _sdk.VORA_ERR_CAMERA_LOST
#: What a camera the library has let go answers every command.
NOT_CONNECTED = _sdk.VORA_ERR_NOT_CONNECTED


class VoraError(Exception):
    """A failure reported by the library or the camera.

    ``code`` is the status code (negative: the library's own, positive: the
    camera's answer) and ``text`` what the library says it means.
    """

    def __init__(self, code: int, operation: str = "") -> None:
        self.code = int(code)
        self.text = status_text(self.code)
        self.operation = operation
        where = f"{operation}: " if operation else ""
        super().__init__(f"{where}{self.text} (status {self.code})")


def status_text(code: int) -> str:
    """The library's one-line description of a status code."""
    return _sdk.VoraStatusText(int(code)).decode("utf-8", "replace")


def check(status: int, operation: str) -> None:
    """Raises VoraError unless ``status`` is 0."""
    if status != 0:
        raise VoraError(status, operation)


def check_value(value: int, operation: str) -> int:
    """Returns a quantity the library answered, raising for a negative one."""
    if value < 0:
        raise VoraError(value, operation)
    return value


def close_quietly(close, exc: Optional[BaseException]) -> None:
    """Runs ``close`` when leaving a with-block: its error is raised when
    the block ended well, and only noted on the block's own exception
    otherwise, so that the error that ended the block is the one seen."""
    try:
        close()
    except VoraError as error:
        if exc is None:
            raise
        if hasattr(exc, "add_note"):
            exc.add_note(f"while closing: {error}")
