"""Pure-Python renditions of the bridge's hot operations.

Written the way a Python developer would write the same operations: the same
argument checks, the same locks taken in the same order, the same records.
The benchmarks run them beside the compiled modules to show what the compiled
code saves. They are not used by the bridge itself.
"""
