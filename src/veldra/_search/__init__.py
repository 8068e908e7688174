"""The exhaustive search, run level by level.

``_engine`` drives the native level sweep over all subsets and hands each
level to an executor: threads on this machine here, Dask workers in
``_cluster`` (imported only when a cluster is asked for). ``_checkpoint``
saves and resumes a search; ``_cost`` estimates its time and memory.
"""
