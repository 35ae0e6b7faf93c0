"""Optional integrations.

Each integration lives behind a pip extra named after what it brings
(`korvane[openai]`, `[anthropic]`, `[otel]`, `[ray]`, `[dask]`, `[prices]`)
and is imported only when it is used, so `import korvane` needs nothing
beyond CPython."""

from __future__ import annotations

import importlib
from types import ModuleType


def require(module: str, extra: str, feature: str) -> ModuleType:
    """The named module, or one ImportError that names the extra to install.

    Only a missing module becomes that message; a module that is installed
    but fails to import raises its own error unchanged."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as error:
        top = module.partition(".")[0]
        if error.name is None or error.name.partition(".")[0] != top:
            raise
        raise ImportError(f"{feature} needs the optional package {top!r}: "
                          f"pip install 'korvane[{extra}]'", name=top) from None
