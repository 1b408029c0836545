"""A column of a million values decrypted with key candidates and re-keyed on
a Dask cluster of two worker processes, checked against the single-value
classes. Needs Dask distributed and pandas (Debian: python3-distributed,
python3-pandas)."""

import importlib.util
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


if __name__ == "__main__":
    unittest.main()
