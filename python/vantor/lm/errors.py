"""The errors of `vantor.lm`: each says in one line what was wrong."""

INSTALL_HINT = "pip install 'vantor[lm]'"


class LMError(Exception):
    """Base of every error `vantor.lm` raises on purpose."""


class FormatError(LMError):
    """The input is not a file `vantor.lm` wrote, or it was damaged."""


class RefusedError(LMError):
    """Decoding here would not reproduce the file: another model, runtime or mixing made
    it."""


class SetupError(LMError):
    """The optional packages or the model file are missing or unusable."""


class MissingExtraError(SetupError, ImportError):
    """The `lm` extra is not installed."""

    def __init__(self, what: str) -> None:
        super().__init__(f"{what} is not installed: {INSTALL_HINT}")
