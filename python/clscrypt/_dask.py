"""Columns of a Dask DataFrame through the bulk functions, with the keys kept
out of the task graph.

A graph is what the scheduler, its dashboard, the workers' logs and any
pickled task show, and task names are normally a hash of the tasks'
arguments: keys passed to map_partitions would sit in every partition's task
and a key guess could be checked against a task name offline. Here the keys
go to each worker once, in a worker plugin registered under a random name
(workers that join later get it too), and the tasks carry only that name, the
options and the partition's place in the column. Task names derive from a
random nonce, never from the keys.
"""

from __future__ import annotations

import operator
import threading
import typing as _t
import uuid

from . import _clscrypt

if _t.TYPE_CHECKING:
    import dask.dataframe

# The keys of each conversion, by its plugin's name, in the process that
# runs the tasks (a worker, or this process under Dask's local schedulers).
_held: _t.Dict[str, _t.Dict[str, _t.Any]] = {}
_lock = threading.Lock()
# The plugins this process registered, by name, with the client holding each.
_registered: _t.Dict[str, _t.Any] = {}


class _Keys:
    """A worker plugin: puts one conversion's keys into the worker's process
    at setup and drops them at teardown. Its pickle carries the keys to the
    workers, once each; nothing else does."""

    def __init__(self, name: str, keys: _t.Dict[str, _t.Any]) -> None:
        self.name = name
        self.keys = keys

    def setup(self, worker: _t.Any = None) -> None:
        with _lock:
            _held[self.name] = self.keys

    def teardown(self, worker: _t.Any = None) -> None:
        with _lock:
            _held.pop(self.name, None)

    def __repr__(self) -> str:  # the keys never show in a log line
        return f"<clscrypt keys {self.name}>"


def _client(client: _t.Any) -> _t.Any:
    if client is not None:
        return client
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:  # no client: Dask's local schedulers, in this process
        return None


def _ship(keys: _t.Dict[str, _t.Any], client: _t.Any) -> str:
    name = "clscrypt-keys-" + uuid.uuid4().hex
    plugin = _Keys(name, keys)
    client = _client(client)
    if client is None:
        plugin.setup()
    else:
        client.register_worker_plugin(plugin, name=name)
    _registered[name] = client
    return name


def forget_keys() -> None:
    """Drops the keys of every column conversion this process started, from
    the workers (the plugins are unregistered) and from this process. Call it
    once the results are computed; the keys otherwise stay on the workers for
    the cluster's life."""
    for name, client in list(_registered.items()):
        if client is not None and client.status == "running":
            client.unregister_worker_plugin(name)
        with _lock:
            _held.pop(name, None)
        del _registered[name]


def _convert(part: _t.Any, name: str, function: str, options: _t.Dict[str, _t.Any], first: int) -> _t.Any:
    import pandas

    with _lock:
        keys = _held.get(name)
    if keys is None:
        raise LookupError(
            "the keys of this clscrypt column conversion are not in this process: the worker did not get its "
            "plugin, clscrypt.forget_keys() dropped them, or a scheduler of other processes runs the tasks "
            "without a distributed Client"
        )
    result = getattr(_clscrypt, function)(part, **keys, **options, first=first)
    return pandas.Series(result, index=part.index, name=part.name, dtype=object)


def _column(column: "dask.dataframe.Series", function: str, keys: _t.Dict[str, _t.Any],
            options: _t.Dict[str, _t.Any], client: _t.Any) -> "dask.dataframe.Series":
    import pandas
    from dask.dataframe.core import new_dd_object
    from dask.highlevelgraph import HighLevelGraph

    held = _ship(keys, client)
    nonce = uuid.uuid4().hex
    name = f"clscrypt-{function.split('_')[0]}-{nonce}"
    lengths, starts = f"clscrypt-length-{nonce}", f"clscrypt-start-{nonce}"
    tasks: _t.Dict[_t.Any, _t.Any] = {}
    raise_ = options["errors"] == "raise"
    for p in range(column.npartitions):
        part = (column._name, p)
        if raise_:
            # The failing value is reported by its row in the whole column:
            # each partition starts where the ones before it end.
            tasks[(lengths, p)] = (len, part)
            tasks[(starts, p)] = 0 if p == 0 else (operator.add, (starts, p - 1), (lengths, p - 1))
        tasks[(name, p)] = (_convert, part, held, function, options, (starts, p) if raise_ else 0)
    graph = HighLevelGraph.from_collections(name, tasks, dependencies=[column])
    meta = pandas.Series([], dtype=object, name=column.name)
    return new_dd_object(graph, name, meta, column.divisions)


def encrypt_column(column: "dask.dataframe.Series", keys: _t.Union[str, _t.Sequence[str]], form: str = "hex",
                   codepage: int = 1252, errors: str = "raise", *, separator: str = "",
                   replace_unmappable: bool = False, client: _t.Any = None) -> "dask.dataframe.Series":
    """encrypt_values over a Dask Series, partition by partition, the keys
    shipped to the workers once and kept out of the task graph. `client`:
    the distributed Client (default: the current one; none: Dask's local
    schedulers in this process). A failing value is named by its row in the
    whole column. clscrypt.forget_keys() drops the keys afterwards."""
    return _column(column, "encrypt_values", {"keys": list([keys] if isinstance(keys, str) else keys)},
                   {"form": form, "codepage": codepage, "errors": errors, "separator": separator,
                    "replace_unmappable": replace_unmappable}, client)


def _histories(candidates: _t.Any, keys: _t.Any) -> _t.Dict[str, _t.Any]:
    if keys is not None:
        return {"keys": [keys] if isinstance(keys, str) else list(keys), "candidates": None}
    if candidates is None or isinstance(candidates, str):
        return {"candidates": candidates, "keys": None}  # the compiled function says what is wrong
    return {"candidates": [h if isinstance(h, str) else list(h) for h in candidates], "keys": None}


def decrypt_column(column: "dask.dataframe.Series", candidates: _t.Any = None, form: str = "hex",
                   codepage: int = 1252, errors: str = "raise", *, keys: _t.Any = None, plain: str = "str",
                   replace_unmappable: bool = False, client: _t.Any = None) -> "dask.dataframe.Series":
    """decrypt_values over a Dask Series, as encrypt_column does it."""
    return _column(column, "decrypt_values", _histories(candidates, keys),
                   {"form": form, "codepage": codepage, "errors": errors, "plain": plain,
                    "replace_unmappable": replace_unmappable}, client)


def rekey_column(column: "dask.dataframe.Series", candidates: _t.Any = None, new_keys: _t.Any = None,
                 form: str = "hex", codepage: int = 1252, errors: str = "raise", *, keys: _t.Any = None,
                 new_form: _t.Optional[str] = None, separator: str = "", replace_unmappable: bool = False,
                 client: _t.Any = None) -> "dask.dataframe.Series":
    """rekey_values over a Dask Series, as encrypt_column does it."""
    held = _histories(candidates, keys)
    held["new_keys"] = None if new_keys is None else ([new_keys] if isinstance(new_keys, str) else list(new_keys))
    return _column(column, "rekey_values", held,
                   {"form": form, "codepage": codepage, "errors": errors, "new_form": new_form,
                    "separator": separator, "replace_unmappable": replace_unmappable}, client)
