"""What every publishing step raises when it would give the players a
broken update."""


class Refusal(Exception):
    """The build or the arguments would give the players a broken update."""
