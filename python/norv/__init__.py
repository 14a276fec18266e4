"""norv: a prompt-security toolkit for applications that wrap a language model.

The heart of the package is the native module ``norv.core.coordinator`` and its
class ``GovernanceCoordinator``, which runs registered security modules over every
prompt and every response under a hard time limit and writes a JSON audit log.
"""

# The package's only statement of its version: the build reads it from here
# (pyproject.toml, tool.scikit-build.metadata.version), so the two cannot differ.
__version__ = "0.1.0"


def __getattr__(name: str) -> object:
    # The pipeline imports the native module: only when asked for, so that
    # importing norv stays cheap.
    if name == "Pipeline":
        from norv.pipeline import Pipeline

        return Pipeline
    raise AttributeError(f"module 'norv' has no attribute {name!r}")
