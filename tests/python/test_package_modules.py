"""The package's modules: each imports, none imports another that imports it
back (also through a function's body or a TYPE_CHECKING block), the names
callers use stay where they are, and the facts the module VoraSDK exports
(pixel-format codes) are taken from it rather than copied."""
import ast
import importlib
import re
from pathlib import Path
from typing import Optional

import VoraSDK as V
import voracam
from conftest import REPO

PACKAGE = Path(voracam.__file__).resolve().parent


def module_names(package: Path) -> list[str]:
    return sorted(path.stem for path in package.glob("*.py"))


def imported_modules(package: Path, name: str) -> set[str]:
    """The package's modules that module ``name`` imports anywhere in its
    text: at the top, in a function, or under TYPE_CHECKING."""
    ours = set(module_names(package))
    top = package.name

    def module_of(dotted: str) -> Optional[str]:
        first = dotted.split(".", 1)[0]
        return first if first in ours else None

    found = set()
    for node in ast.walk(ast.parse((package / f"{name}.py").read_text(), f"{name}.py")):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name == top:
                    found.add("__init__")
                elif alias.name.startswith(top + "."):
                    found.add(module_of(alias.name[len(top) + 1:]))
        elif isinstance(node, ast.ImportFrom):
            if node.level == 0 and node.module is not None and (node.module == top
                                                                 or node.module.startswith(top + ".")):
                inner = node.module[len(top) + 1:] if node.module != top else None
            elif node.level == 1:
                inner = node.module
            else:
                continue  # outside the package
            if inner:
                found.add(module_of(inner))
            else:  # "from . import x": a module of the package, or a name of __init__
                found.update(alias.name if alias.name in ours else "__init__" for alias in node.names)
    found.discard(None)
    found.discard(name)
    return found


def import_graph(package: Path) -> dict[str, set[str]]:
    return {name: imported_modules(package, name) for name in module_names(package)}


def find_cycle(graph: dict[str, set[str]]) -> Optional[list[str]]:
    """A cycle of the graph as the path that closes it, or None."""
    state: dict[str, str] = {}  # "open" while on the path, "done" after
    path: list[str] = []

    def visit(node: str) -> Optional[list[str]]:
        state[node] = "open"
        path.append(node)
        for target in sorted(graph.get(node, ())):
            if state.get(target) == "open":
                return path[path.index(target):] + [target]
            if target not in state:
                cycle = visit(target)
                if cycle:
                    return cycle
        path.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            cycle = visit(node)
            if cycle:
                return cycle
    return None


def test_every_module_imports_and_none_imports_one_that_imports_it_back():
    names = module_names(PACKAGE)
    for name in names:
        importlib.import_module("voracam" if name == "__init__" else f"voracam.{name}")
    graph = import_graph(PACKAGE)
    assert graph["__init__"], "the package's own imports were not found"
    cycle = find_cycle(graph)
    assert cycle is None, "import cycle: " + " -> ".join(cycle)


def test_the_cycle_check_sees_imports_in_functions_and_type_checking_blocks(tmp_path):
    package = tmp_path / "voracam"
    package.mkdir()
    (package / "__init__.py").write_text("from .a import A\n")
    (package / "a.py").write_text("from . import b\nclass A:\n    pass\n")
    (package / "b.py").write_text("def late():\n    from .a import A\n    return A\n")
    (package / "c.py").write_text("from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import voracam.d\n")
    (package / "d.py").write_text("from voracam.c import x\nfrom . import helper_of_init\n")
    graph = import_graph(package)
    assert graph == {"__init__": {"a"}, "a": {"b"}, "b": {"a"}, "c": {"d"}, "d": {"c", "__init__"}}
    assert find_cycle(graph) == ["a", "b", "a"]
    graph["b"] = set()
    assert find_cycle(graph) == ["c", "d", "c"]
    graph["d"] = {"__init__"}
    assert find_cycle(graph) is None


def test_names_stay_importable_where_callers_found_them():
    from voracam import calibration, camera, errors, frame, fusion, open3d_bridge

    assert camera.Calibration is voracam.Calibration is calibration.Calibration
    assert camera.close_quietly is errors.close_quietly
    assert fusion.ColouredCloud is voracam.ColouredCloud is frame.ColouredCloud
    assert fusion.colour_cloud is voracam.colour_cloud is frame.colour_cloud
    assert fusion.open3d_cloud is open3d_bridge.open3d_cloud
    assert fusion.depth_to_colour is voracam.depth_to_colour
    assert set(voracam.__all__) <= set(dir(voracam))


def header_codes() -> dict[str, int]:
    text = (REPO / "include" / "vora_pixel_format.h").read_text()
    return {name: int(value, 16) for name, value in re.findall(r"#define PIXEL_FORMAT_(\w+) (0x[0-9A-Fa-f]+)u", text)}


def test_pixel_formats_are_the_modules_codes_all_of_them():
    codes = header_codes()
    assert len(codes) >= 6
    module = {name[len("PIXEL_FORMAT_"):]: getattr(V, name) for name in dir(V) if name.startswith("PIXEL_FORMAT_")}
    assert module == codes
    for name, code in module.items():
        assert voracam.PixelFormat[name] == code and voracam.PixelFormat(code).name == name
    assert len(voracam.PixelFormat) == len(codes)
    # Values in ascending order, as members were listed before they came
    # from the module.
    assert [int(f) for f in voracam.PixelFormat] == sorted(codes.values())
    # The names the package offered before it took them from the module.
    offered = {"MONO8", "BAYER_RG8", "YUV422_8", "RGB565P", "RGB8", "COORD3D_ABC16"}
    assert offered <= set(voracam.PixelFormat.__members__)
