"""A column of a million values decrypted with key candidates and re-keyed on
a Dask cluster of two worker processes, checked against the single-value
classes. Needs Dask distributed and pandas (Debian: python3-distributed,
python3-pandas)."""

import importlib.util
import pickle
import random
import time
import unittest
import warnings

import clscrypt

from test_values import keyed_with

AVAILABLE = all(importlib.util.find_spec(m) for m in ("dask", "distributed", "pandas", "psutil"))

ROWS = 1_000_000
PARTITIONS = 8
# Oldest first is not the order to try: the most common history goes first.
HISTORIES = [["2009"], ["2009", "2015"], ["2021"]]
NEW_KEYS = ["2026"]


def left_processes():
    """The processes this one started that are still running, waiting a
    little for exits in progress. multiprocessing's resource tracker is left
    out: it serves this interpreter and ends with it."""
    import psutil

    deadline = time.monotonic() + 10
    while True:
        children = [p for p in psutil.Process().children(recursive=True) if p.is_running()]
        try:
            children = [p for p in children if "resource_tracker" not in " ".join(p.cmdline())]
        except psutil.NoSuchProcess:
            continue
        if not children or time.monotonic() > deadline:
            return children
        time.sleep(0.1)


@unittest.skipUnless(AVAILABLE, "Dask distributed, pandas or psutil is not installed")
class LocalClusterColumn(unittest.TestCase):
    def test_decrypt_with_candidates_and_rekey(self):
        import dask.dataframe as dd
        import pandas
        from distributed import Client, LocalCluster

        # Debian 12's Tornado warns about its own event loop set-up.
        warnings.filterwarnings("ignore", "make_current is deprecated", DeprecationWarning)
        plain = [f"account {i:07d} \u00e9" for i in range(ROWS)]
        stored = [None] * ROWS
        for h, history in enumerate(HISTORIES):
            stored[h::3] = clscrypt.encrypt_values(plain[h::3], keys=history)
        stored[5] = None  # a gap in the column
        frame = pandas.DataFrame({"stored": stored})

        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            with Client(cluster) as client:
                self.assertEqual(len(client.scheduler_info()["workers"]), 2)
                column = dd.from_pandas(frame, npartitions=PARTITIONS)["stored"]
                self.assertEqual(column.npartitions, PARTITIONS)
                opened = column.map_partitions(clscrypt.decrypt_values, candidates=HISTORIES, meta=("plain", object))
                moved = column.map_partitions(
                    clscrypt.rekey_values, candidates=HISTORIES, new_keys=NEW_KEYS, meta=("moved", object)
                )
                result = dd.concat([opened, moved], axis=1).compute()

        self.assertEqual(left_processes(), [])
        self.assertEqual(list(result.index), list(range(ROWS)))
        expected = list(plain)
        expected[5] = None
        self.assertEqual(list(result["plain"]), expected)
        self.assertIsNone(result["moved"][5])
        # A sample, through the single-value classes: each stored value opens
        # with its own history, and its re-keyed value with the new keys only.
        newest = keyed_with(NEW_KEYS)
        for i in random.Random(15).sample(range(6, ROWS), 200):
            with self.subTest(row=i):
                message = plain[i].encode("cp1252")
                self.assertEqual(keyed_with(HISTORIES[i % 3]).DecryptByte(bytes.fromhex(stored[i])), message)
                self.assertEqual(newest.DecryptByte(bytes.fromhex(result["moved"][i])), message)
                self.assertNotEqual(result["moved"][i], stored[i])



KEY = "SECRETKEY-d4e1"  # must show nowhere in a graph
NEW_KEY = "NEWSECRET-9b07"
SMALL = 20_000


@unittest.skipUnless(AVAILABLE, "Dask distributed, pandas or psutil is not installed")
class KeysOutOfTheGraph(unittest.TestCase):
    """The column helpers on a cluster of two worker processes: keys reach
    the workers once, in a plugin, never in a task; task names derive from
    no key; a failing value is named by its row in the whole column."""

    @classmethod
    def setUpClass(cls):
        import pandas
        from distributed import Client, LocalCluster

        warnings.filterwarnings("ignore", "make_current is deprecated", DeprecationWarning)
        cls.cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
        cls.client = Client(cls.cluster)
        cls.plain = [f"row {i:05d}" for i in range(SMALL)]
        cls.stored = clscrypt.encrypt_values(cls.plain, keys=[KEY])
        # The index runs backwards, so a row's label is not its position.
        cls.frame = pandas.DataFrame({"stored": cls.stored}, index=range(SMALL - 1, -1, -1))

    @classmethod
    def tearDownClass(cls):
        clscrypt.forget_keys()
        cls.client.close()
        cls.cluster.close()

    def column(self, frame=None):
        import dask.dataframe as dd

        return dd.from_pandas(self.frame if frame is None else frame, npartitions=4, sort=False)["stored"]

    @staticmethod
    def key_bytes(key):
        return [key.encode(e) for e in ("utf-8", "utf-16-le", "utf-16-be", "utf-32-le")]

    def test_no_key_in_the_graph_or_its_names(self):
        made = {
            "encrypt": lambda c: clscrypt.encrypt_column(c, keys=[KEY]),
            "decrypt": lambda c: clscrypt.decrypt_column(c, candidates=[["other"], [KEY]]),
            "decrypt, errors=none": lambda c: clscrypt.decrypt_column(c, keys=KEY, errors="none"),
            "rekey": lambda c: clscrypt.rekey_column(c, candidates=[[KEY]], new_keys=[NEW_KEY]),
        }
        for what, make in made.items():
            with self.subTest(what):
                column = self.column()
                first, second = make(column), make(column)
                pickled = pickle.dumps(first.__dask_graph__()) + pickle.dumps(dict(first.__dask_graph__()))
                for key in (KEY, NEW_KEY):
                    for encoded in self.key_bytes(key):
                        self.assertNotIn(encoded, pickled)
                # The same call twice: the same column, but none of the
                # new tasks shares a name with the other's.
                ours = set(first.__dask_graph__()) - set(column.__dask_graph__())
                theirs = set(second.__dask_graph__()) - set(column.__dask_graph__())
                self.assertEqual(len(ours), len(theirs))
                self.assertFalse(ours & theirs)
        # The way the keys went before: map_partitions puts them in the
        # graph, and the check above sees them there.
        before = self.column().map_partitions(clscrypt.decrypt_values, keys=[KEY], meta=("plain", object))
        self.assertIn(KEY.encode(), pickle.dumps(dict(before.__dask_graph__())))

    def test_results_as_the_bulk_functions_give_them(self):
        column = self.column()
        opened = clscrypt.decrypt_column(column, candidates=[["other"], [KEY]]).compute()
        self.assertEqual(list(opened), self.plain)
        self.assertEqual(list(opened.index), list(self.frame.index))
        moved = clscrypt.rekey_column(column, keys=[KEY], new_keys=NEW_KEY, form="hex", new_form="base64").compute()
        self.assertEqual(clscrypt.decrypt_values(list(moved), keys=[NEW_KEY], form="base64"), self.plain)
        sealed = clscrypt.encrypt_column(self.column(self.frame.assign(stored=self.plain)), keys=[NEW_KEY]).compute()
        self.assertEqual(clscrypt.decrypt_values(list(sealed), keys=[NEW_KEY]), self.plain)
        self.assertNotEqual(list(sealed), list(moved))

    def test_a_failing_value_is_named_by_its_row_in_the_column(self):
        for row in (0, 4999, 5000, 12_345, SMALL - 1):  # partitions of 5,000 rows
            with self.subTest(row=row):
                stored = list(self.stored)
                stored[row] = clscrypt.encrypt_values(["x"], keys=["another key"])[0]
                column = self.column(self.frame.assign(stored=stored))
                with self.assertRaises(clscrypt.WrongKeyError) as caught:
                    clscrypt.decrypt_column(column, keys=[KEY]).compute()
                self.assertRegex(str(caught.exception), rf"\bvalue {row}\b")
                self.assertNotIn(KEY, str(caught.exception))
                # errors="none" gives None there and goes on.
                opened = clscrypt.decrypt_column(column, keys=[KEY], errors="none").compute()
                self.assertIsNone(opened.iloc[row])
                self.assertEqual(opened.iloc[row - 1 if row else 1], self.plain[row - 1 if row else 1])

    def test_keys_reach_each_worker_and_are_forgotten(self):
        def held():
            from clscrypt import _dask

            return sorted(_dask._held)

        clscrypt.forget_keys()
        clscrypt.decrypt_column(self.column(), keys=[KEY]).compute()
        on_workers = self.client.run(held)
        self.assertEqual(len(on_workers), 2)
        for names in on_workers.values():
            self.assertEqual(len(names), 1)
        clscrypt.forget_keys()
        self.assertEqual(list(self.client.run(held).values()), [[], []])
        with self.assertRaises(LookupError):  # a graph whose keys were forgotten
            column = clscrypt.decrypt_column(self.column(), keys=[KEY])
            clscrypt.forget_keys()
            column.compute()


if __name__ == "__main__":
    unittest.main()
