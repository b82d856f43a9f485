// Records from Arrow: each value written by its field's kind, straight from the column
// buffers; lists, structs, maps and dictionaries recurse.
#include <string>

#include "ondrel/_native/utf8.hpp"
#include "ondrel/datastore/adapter/toml/pentock/arrow_values.hpp"
#include "ondrel/datastore/adapter/toml/pentock/temporal.hpp"

namespace ondrel::pentock::arrowout {

// A field name in the path of a refusal, as the dict path names its key.
[[gnu::cold, gnu::noinline]] bool where_name(const std::string& name) {
  if (!where::active()) return false;
  PyObject* raised = PyErr_GetRaisedException();
  Ref key = Ref::steal(
      PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return key ? where::key(key.get()) : where::field("[?]");
}

// The refusal of a key that cannot stand raw, made where the dict path makes it.
template <bool Esc>
[[gnu::cold, gnu::noinline]] bool refuse_key(Buffer* buf, const Field& f) {
  if (write_key_utf8<Esc>(buf, f.name.data(), f.name.size()))
    return bad_data("a refused key was written");
  if (!where::active()) return false;
  PyObject* raised = PyErr_GetRaisedException();
  Ref key = Ref::steal(
      PyUnicode_DecodeUTF8(f.name.data(), static_cast<Py_ssize_t>(f.name.size()), "replace"));
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return key ? where::key(key.get(), true) : where::field("[?]");
}

namespace {

// An element inside an array: a null is refused, as the dict path refuses None there.
template <bool Esc>
inline bool element(Buffer* buf, const Field& f, const ArrowArray* a, int64_t j, Ctx& cx) {
  if (!present(f, a, j)) return where::none_in_array();
  return value<Esc>(buf, f, a, j, cx);
}

template <bool Esc>
bool items(Buffer* buf, const Field& child, const ArrowArray* c, int64_t start, int64_t end,
           Ctx& cx) {
  if (start < 0 || end < start || end > c->length) return bad_data("list offsets out of range");
  if (!put(buf, "[ ")) return false;
  for (int64_t i = start; i < end; ++i) {
    if (i != start && !insert_comma_space(buf)) return false;
    if (!element<Esc>(buf, child, c, i, cx)) return where::index(i - start);
  }
  return put(buf, " ]");
}

// The present fields of a struct value at position k of its children.
template <bool Esc>
bool fields(Buffer* buf, const Field& f, const ArrowArray* a, int64_t k, Ctx& cx) {
  bool written = false;
  for (size_t i = 0; i < f.children.size(); ++i) {
    const Field& c = f.children[i];
    const ArrowArray* ca = a->children[i];
    if (!present(c, ca, k)) continue;
    if (c.key_refused) return refuse_key<Esc>(buf, c);
    if (!reserve(buf, 2 + c.key.size())) return false;
    if (written) put_unchecked(buf, tok::B_COMMA_SPACE);
    put_unchecked(buf, c.key.data(), c.key.size());
    written = true;
    if (!value<Esc>(buf, c, ca, k, cx)) return where_name(c.name);
  }
  return true;
}

}  // namespace

template <bool Esc>
bool value(Buffer* buf, const Field& f, const ArrowArray* a, int64_t j, Ctx& cx) {
  const int64_t k = a->offset + j;
  if (f.values) {
    const int64_t idx = index_at(f, a, k);
    if (idx < 0 || idx >= a->dictionary->length) return bad_data("dictionary index out of range");
    return value<Esc>(buf, *f.values, a->dictionary, idx, cx);
  }
  switch (f.kind) {
    case Kind::Null: return put(buf, tok::B_NULL);
    case Kind::Bool: return bit(a->buffers[1], k) ? insert_true(buf) : insert_false(buf);
    case Kind::Int8: return write_i64(buf, load<int8_t>(a, 1, k));
    case Kind::Int16: return write_i64(buf, load<int16_t>(a, 1, k));
    case Kind::Int32: return write_i64(buf, load<int32_t>(a, 1, k));
    case Kind::Int64: return write_i64(buf, load<int64_t>(a, 1, k));
    case Kind::UInt8: return write_u64(buf, load<uint8_t>(a, 1, k));
    case Kind::UInt16: return write_u64(buf, load<uint16_t>(a, 1, k));
    case Kind::UInt32: return write_u64(buf, load<uint32_t>(a, 1, k));
    case Kind::UInt64: return write_u64(buf, load<uint64_t>(a, 1, k));
    case Kind::Float16: return write_float(buf, half_to_double(load<uint16_t>(a, 1, k)));
    case Kind::Float32: return write_float(buf, static_cast<double>(load<float>(a, 1, k)));
    case Kind::Float64: return write_float(buf, load<double>(a, 1, k));
    case Kind::Utf8:
    case Kind::LargeUtf8:
    case Kind::Utf8View: {
      Bytes b{};
      if (!bytes_at(f.kind, 0, a, j, &b)) return false;
      if (!utf8::valid(b.data, b.size)) return bad_data("a string that is not UTF-8");
      return write_quoted_utf8<Esc>(buf, b.data, b.size);
    }
    case Kind::Binary:
    case Kind::LargeBinary:
    case Kind::BinaryView:
    case Kind::FixedBinary: {
      Bytes b{};
      if (!bytes_at(f.kind, f.width, a, j, &b) || !bytes_repr(cx.scratch, b)) return false;
      return write_quoted_utf8<Esc>(buf, cx.scratch->data, cx.scratch->pos);
    }
    case Kind::Decimal: return decimal_text(buf, a, k, f.width, f.scale);
    case Kind::Date32: return temporal::date_days(buf, load<int32_t>(a, 1, k), cx.toml_datetimes);
    case Kind::Date64: {
      const int64_t ms = load<int64_t>(a, 1, k);
      const int64_t days = ms / 86400000 - (ms % 86400000 < 0 ? 1 : 0);
      return temporal::date_days(buf, days, cx.toml_datetimes);
    }
    case Kind::Time: {
      const int64_t v = f.unit <= 1 ? load<int32_t>(a, 1, k) : load<int64_t>(a, 1, k);
      return temporal::time_of_day(buf, temporal::split(v, f.unit), cx.toml_datetimes);
    }
    case Kind::Timestamp: {
      const temporal::Split t = temporal::split(load<int64_t>(a, 1, k), f.unit);
      if (f.zone == Field::Zone::None)
        return temporal::timestamp(buf, t, nullptr, cx.toml_datetimes);
      temporal::Offset off = f.fixed;
      if (f.zone == Field::Zone::Named && !temporal::zone_offset(f.named.get(), t.seconds, &off))
        return false;
      return temporal::timestamp(buf, t, &off, cx.toml_datetimes);
    }
    case Kind::Duration: return duration_text(buf, f, a, k);
    case Kind::Interval: return interval_text(buf, f, a, k);
    case Kind::Uuid: return uuid_text(buf, a, k);
    case Kind::List:
      return items<Esc>(buf, f.children[0], a->children[0], load<int32_t>(a, 1, k),
                        load<int32_t>(a, 1, k + 1), cx);
    case Kind::LargeList:
      return items<Esc>(buf, f.children[0], a->children[0], load<int64_t>(a, 1, k),
                        load<int64_t>(a, 1, k + 1), cx);
    case Kind::ListView: {
      const int64_t start = load<int32_t>(a, 1, k);
      return items<Esc>(buf, f.children[0], a->children[0], start, start + load<int32_t>(a, 2, k),
                        cx);
    }
    case Kind::LargeListView: {
      const int64_t start = load<int64_t>(a, 1, k);
      int64_t end;
      if (__builtin_add_overflow(start, load<int64_t>(a, 2, k), &end))
        return bad_data("list view size");
      return items<Esc>(buf, f.children[0], a->children[0], start, end, cx);
    }
    case Kind::FixedList:
      return items<Esc>(buf, f.children[0], a->children[0], k * f.width, (k + 1) * f.width, cx);
    case Kind::Struct: return put(buf, "{ ") && fields<Esc>(buf, f, a, k, cx) && put(buf, " }");
    case Kind::Map: {
      // to_pylist() gives a list of (key, value) tuples: arrays of two.
      const Field& entry = f.children[0];
      const ArrowArray* ea = a->children[0];
      const int64_t start = load<int32_t>(a, 1, k);
      const int64_t end = load<int32_t>(a, 1, k + 1);
      if (start < 0 || end < start || end > ea->length) return bad_data("map offsets out of range");
      if (!put(buf, "[ ")) return false;
      for (int64_t i = start; i < end; ++i) {
        if (i != start && !insert_comma_space(buf)) return false;
        const int64_t p = ea->offset + i;
        if (!put(buf, "[ ")) return false;
        if (!element<Esc>(buf, entry.children[0], ea->children[0], p, cx))
          return where::index(0) || where::index(i - start);
        if (!insert_comma_space(buf)) return false;
        if (!element<Esc>(buf, entry.children[1], ea->children[1], p, cx))
          return where::index(1) || where::index(i - start);
        if (!put(buf, " ]")) return false;
      }
      return put(buf, " ]");
    }
    case Kind::Json: {
      Bytes b{};
      if (!bytes_at(f.storage, 0, a, j, &b)) return false;
      if (!utf8::valid(b.data, b.size)) return bad_data("a string that is not UTF-8");
      return json_to_buf<Esc>(buf, b, cx);
    }
  }
  return bad_data("unknown kind");
}

template bool value<false>(Buffer*, const Field&, const ArrowArray*, int64_t, Ctx&);
template bool value<true>(Buffer*, const Field&, const ArrowArray*, int64_t, Ctx&);
template bool refuse_key<false>(Buffer*, const Field&);
template bool refuse_key<true>(Buffer*, const Field&);

}  // namespace ondrel::pentock::arrowout
