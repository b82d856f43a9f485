// The records array of a [tables.<name>] table read straight into Arrow columns: each record
// is read into arena nodes, then stored in the columns. Part of parser.cpp.

namespace ondrel::decoder {

template <class F>
PyObject* Parser<F>::records_array() {
  Ref target = Ref::steal(records_->open(records_name_.get()));
  if (!target) return nullptr;
  ++p_;
  for (size_t index = 0;; ++index) {
    if (!skip_blank()) return nullptr;
    if (cur() == ']') break;
    Node* record = value<Nodes>(1);
    if (record == nullptr) return nullptr;
    if (record->kind != NodeKind::kTable) {
      PyErr_Format(PyExc_ValueError, "record %zu of table %R is not a table", index,
                   records_name_.get());
      return nullptr;
    }
    if (!store_record(target.get(), record, index)) return nullptr;
    nodes_.reset();
    const int next = array_next();
    if (next < 0) return nullptr;
    if (next == 0) break;
  }
  ++p_;
  return target.release();
}

}  // namespace ondrel::decoder
// TEMP stubs
namespace ondrel::decoder {
inline PyObject* RecordsSink::open(PyObject*) { Py_RETURN_NONE; }
template <class F>
bool Parser<F>::store_record(PyObject*, const Node*, size_t) { return true; }
}
