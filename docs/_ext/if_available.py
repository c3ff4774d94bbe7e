"""``if-available``: a directive whose content is part of the page only where its argument exists.

The argument is a file (a path with a slash, relative to the page, or from the documentation's
root with a leading slash) or a dotted name that imports (``brenix_kernels.plot_variable_genes``).
Pages can then show a picture or document a function that another line of work brings, without a
warning (and so a failed build) where it is not there yet.
"""

import importlib
from pathlib import Path

from docutils import nodes
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles


def _importable(name: str) -> bool:
    module, _, attribute = name.rpartition(".")
    try:
        return hasattr(importlib.import_module(module), attribute)
    except ImportError:
        return False


class IfAvailable(SphinxDirective):
    required_arguments = 1
    has_content = True

    def run(self):
        target = self.arguments[0]
        if "/" in target:
            _, path = self.env.relfn2path(target, self.env.docname)
            self.env.note_dependency(path)
            present = Path(path).is_file()
        else:
            present = _importable(target)
        if not present:
            return []
        container = nodes.container()
        nested_parse_with_titles(self.state, self.content, container, self.content_offset)
        return container.children


def setup(app):
    app.add_directive("if-available", IfAvailable)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
