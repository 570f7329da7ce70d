# The documentation site: Sphinx with MyST Markdown and the PyData theme. `make docs` builds it.
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path[:0] = [str(DOCS / "_ext"), str(DOCS.parent / "python")]

project = "vexcam"
author = "the vexcam developers"
copyright = "the vexcam developers"
release = version = "0.1.0"

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.graphviz",
    "stubdoc",
    "pictures",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_generated", "_pictures/README.md"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]
# Code blocks that are shell sessions or other languages are not Python: no lexer warnings.
highlight_language = "none"

# Signatures name types of numpy, the standard library and the frameworks, whose inventories
# cannot be fetched here; our own names must still resolve.
nitpicky = True
nitpick_ignore_regex = [
    ("py:class", r"(np|npt|numpy|typing|collections|datetime|pathlib|os|astropy|aiohttp|"
                 r"asyncio|concurrent|threading|logging|pymmcore|pymmcore_plus|useq|types)\..*"),
    ("py:class", r"_Frame|_Real|Path|PathLike|Header|NDArray|Mapping|Sequence|Iterable|"
                 r"Iterator|Callable|Any|Self|UniMMCore|CMMCorePlus|datetime|Literal|"
                 r"SupportsIndex|SupportsFloat|ExceptionGroup|TracebackType"),
    ("py:class", r"Extra|xml\..*|vexcam_\w+\._\w+\.[A-Za-z]+"),  # the last: private helpers
    ("py:obj", r".*\.T|.*\._[A-Za-z]+"),
]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_mock_imports = ["pymmcore_plus", "pymmcore", "useq", "qtpy", "napari"]

graphviz_output_format = "svg"

html_theme = "pydata_sphinx_theme"
html_title = "vexcam"
html_static_path = []
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "navbar_align": "left",
    "footer_start": ["copyright"],
    "footer_end": [],
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars = {"index": []}
html_show_sourcelink = False
