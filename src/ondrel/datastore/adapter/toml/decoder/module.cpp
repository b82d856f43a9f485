// The module ondrel.datastore.adapter.toml.decoder (being built).
#include <Python.h>

namespace {
PyModuleDef g_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "decoder",
    .m_doc = "Native TOML 1.0 reader.",
};
}  // namespace

PyMODINIT_FUNC PyInit_decoder() { return PyModule_Create(&g_def); }
