"""The holder's native operation table, called from native code through ctypes.

The table is read from the `__vtable__` capsule exactly as another extension module reads it.
Functions are declared with the Python-API calling flag, so the GIL stays held and a pending
exception after the call is raised here.
"""

import ctypes
from ctypes import POINTER, Structure, c_int, c_int32, c_ssize_t, py_object

from ondrel.datastore.tables.grimsel import TablesHolder


class ModelDumpArgs(Structure):
    _fields_ = [("n", c_int32), ("exclude_none", c_int32)]


F = ctypes.PYFUNCTYPE
O = py_object
NONE = None  # restype of void slots

SLOTS = [
    ("get_root", F(O, O)),
    ("set_root", F(NONE, O, O)),
    ("ingest_dict", F(NONE, O, O)),
    ("as_dict", F(O, O, c_int)),
    ("replace_dict", F(NONE, O, O, c_int)),
    ("_size", F(c_ssize_t, O)),
    ("_empty", F(c_int, O)),
    ("_set", F(NONE, O, O, O)),
    ("_contains", F(c_int, O, O)),
    ("_keys", F(O, O)),
    ("_values", F(O, O)),
    ("_items", F(O, O)),
    ("_hash", F(c_int32, O)),
    ("_model_dump", F(O, O, POINTER(ModelDumpArgs))),
    ("contains", F(c_int, O, O, c_int)),
    ("set", F(NONE, O, O, O, c_int)),
    ("add", F(NONE, O, O, O, c_int)),
    ("get", F(O, O, O, c_int)),
    ("remove", F(NONE, O, O, c_int)),
    ("clear", F(NONE, O, c_int)),
    ("iterate", F(O, O, c_int)),
    ("keys", F(O, O, c_int)),
    ("values", F(O, O, c_int)),
    ("items", F(O, O, c_int)),
    ("model_dump", F(O, O, c_int, POINTER(ModelDumpArgs))),
    ("is_tables_holder", F(c_int, O, c_int)),
]


class VTable(Structure):
    _fields_ = SLOTS


def vtable() -> VTable:
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [py_object, ctypes.c_char_p]
    address = get_pointer(TablesHolder.__dict__["__vtable__"], None)
    return ctypes.cast(address, POINTER(VTable)).contents


def dump_args(n: int, exclude_none: int):
    return ctypes.pointer(ModelDumpArgs(n, exclude_none))
