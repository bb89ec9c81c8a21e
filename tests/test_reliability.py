"""Hostile use: exceptions raised by the caller's own hooks, running out of memory at
every allocation point (import and each entry), and mutated types. Each case runs in a
child interpreter, since a fault here would end the process."""

import subprocess
import sys
import textwrap

import pytest

import kestrel_grid as kg

try:
    import _testcapi
    HAVE_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:  # pragma: no cover - interpreters built without the test module
    HAVE_NOMEMORY = False

needs_nomemory = pytest.mark.skipif(not HAVE_NOMEMORY, reason="_testcapi.set_nomemory missing")


def run_child(code, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)


@pytest.mark.parametrize("raised, check", [
    ("SystemExit(7)", "except SystemExit as e: assert e.code == 7"),
    ("KeyboardInterrupt('mine')", "except KeyboardInterrupt as e: assert str(e) == 'mine'"),
    ("ValueError('mine')", "except ValueError as e: assert str(e) == 'mine'"),
])
def test_a_keyword_names_own_str_error_propagates_unchanged(raised, check):
    # The "unexpected keyword argument" message runs str() of the key.
    child = run_child(f"""
        import kestrel_grid as kg
        def fail(self):
            raise {raised}
        class Key(str):
            __str__ = fail
        try:
            kg.build_visibility_graph([1.0], **{{Key("bogus"): 1}})
        {check}
        else:
            raise AssertionError("no exception")
        print("ok")
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "ok\n"
    assert child.stderr == ""  # nothing printed: the error was never handed to PyErr_Print


def test_an_instance_made_without_the_constructor_is_refused_or_sound():
    child = run_child("""
        import kestrel_grid as kg
        for cls in (kg.VisibilityGraph, kg.HorizontalVisibilityGraph):
            del cls.__new__
            g = cls()
            try:
                g.add_vertex(1.0, 2.0)
                assert g.vertices == [(1.0, 2.0)] and g.edges == [] and g.node_count() == 1
            except TypeError as e:
                assert str(e) == cls.__name__ + " object was not created by its constructor"
                for call in (lambda: g.edges, lambda: g.node_count(), lambda: g.remove_edge(0, 1)):
                    try:
                        call()
                    except TypeError:
                        pass
                    else:
                        raise AssertionError("not refused")
            del g
        print("ok")
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "ok\n"


@needs_nomemory
@pytest.mark.skipif(sys.version_info[:3] == (3, 13, 0),
                    reason="CPython 3.13.0 itself crashes in import_run_extension after a failed "
                           "allocation in this sweep (its own _testsinglephase module too)")
def test_running_out_of_memory_during_import_is_memory_error_never_an_abort():
    # One child per failing allocation, counted from the start of the import, until the
    # import gets through; every earlier point must fail with MemoryError.
    outcomes = []
    for start in range(1, 400):
        child = run_child(f"""
            import _imp, importlib.util, _testcapi
            spec = importlib.util.find_spec("kestrel_grid")
            _testcapi.set_nomemory({start}, 0)
            try:
                _imp.create_dynamic(spec)
            except MemoryError:
                outcome = "MemoryError"
            except BaseException as e:
                outcome = "other " + type(e).__name__
            else:
                outcome = "imported"
            finally:
                _testcapi.remove_mem_hooks()
            print(outcome)
        """)
        assert child.returncode == 0, (start, child.returncode, child.stderr[-2000:])
        outcomes.append(child.stdout.strip())
        if outcomes[-1] == "imported":
            break
    assert outcomes[-1] == "imported"
    assert set(outcomes[:-1]) <= {"MemoryError"}, outcomes


# statement, and what it does when memory suffices
SWEPT_CALLS = {
    "natural builder": ("kg.build_visibility_graph(series).edges", "returned"),
    "horizontal builder": ("kg.build_horizontal_visibility_graph(series, skip_adjacent=True).edges",
                           "returned"),
    "pairwise test": ("kg.indices_are_visible(series, 1, 30)", "returned"),
    "sub-series": ("kg.subseries_between(series, 3, 30)", "returned"),
    "sub-graph": ("kg.build_subgraph_between(series, 30, 2).vertices", "returned"),
    "motif scores": ("kg.horizontal_window_motif_scores(series, 5)", "returned"),
    "segment test": ("kg.segment_is_visible((0, 0), (4, 4), [((0, 4), (4, 0))] * 5)", "returned"),
    "unknown keyword": ("kg.build_visibility_graph(series, bogus=1)", "raised TypeError"),
    "huge length hint": ("kg.build_visibility_graph(Huge())", "raised PanicException"),
    "add_edge": ("g.add_edge(0, 3)", "returned"),
    "remove_vertex": ("g.remove_vertex(1)", "returned"),
    "remove_edge": ("g.remove_edge(2, 1)", "returned"),
    "add_vertex": ("g.add_vertex(9.0, 9.0)", "returned"),
    "graph with positions, limit, exact": (
        "kg.build_graph(series, x=xs, penetrable=2, exact=True).edges", "returned"),
    "horizontal degrees with a limit": ("kg.graph_degrees(series, 'horizontal', penetrable=1)",
                                        "returned"),
    "edge array with positions": ("kg.graph_edge_array(series, x=xs, penetrable=1).tobytes()",
                                  "returned"),
    "positions not increasing": ("kg.build_graph(series, x=[0.0] * 40)", "raised ValueError"),
    "negative limit": ("kg.graph_degrees(series, penetrable=-3)", "raised ValueError"),
    "unknown kind": ("kg.graph_edge_array(series, 'diagonal')", "raised ValueError"),
    "bool limit": ("kg.build_graph(series, penetrable=False)", "raised TypeError"),
}


@needs_nomemory
@pytest.mark.parametrize("name", sorted(SWEPT_CALLS))
def test_running_out_of_memory_in_each_entry_is_memory_error_and_leaves_graphs_unchanged(name):
    # Fail the first allocation, then the second, and so on, until the call gets through.
    statement, normal = SWEPT_CALLS[name]
    child = run_child(f"""
        import _testcapi, kestrel_grid as kg
        series = [float((k * 7) % 11) for k in range(40)]
        xs = [1.7e9 + 1.5 * k for k in range(40)]
        class Huge:
            def __len__(self): return 2 ** 61
            def __getitem__(self, k): raise IndexError
        def fresh():
            g = kg.VisibilityGraph()
            for k in range(5): g.add_vertex(float(k), float(k))
            g.add_edge(0, 1); g.add_edge(1, 2)
            return g
        def snapshot(g): return (g.vertices, g.edges)
        outcomes = []
        for start in range(1, 3000):
            g = fresh()
            before = snapshot(g)
            try:
                _testcapi.set_nomemory(start, 0)
                try:
                    {statement}
                finally:
                    _testcapi.remove_mem_hooks()  # before any handler allocates
            except BaseException as e:
                outcome = "MemoryError" if type(e) is MemoryError else "raised " + type(e).__name__
            else:
                outcome = "returned"
            outcomes.append(outcome)
            if outcome == "MemoryError":
                assert snapshot(g) == before, ("a failed call changed the graph", start)
            else:
                break
        print(outcomes)
    """)
    assert child.returncode == 0, child.stderr[-3000:]
    outcomes = eval(child.stdout)
    assert outcomes[-1] == normal and set(outcomes[:-1]) <= {"MemoryError"}, outcomes
