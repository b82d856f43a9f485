// Strings: basic, literal and multi-line, escapes, and the text they make. Part of parser.cpp.

namespace ondrel::decoder {

template <class F>
template <class S>
typename S::Out Parser<F>::string_from(const U* s, size_t n, uint32_t bits) {
  if constexpr (std::is_same_v<S, Nodes>) {
    if constexpr (F::utf8) {
      if ((bits & 0x80) && utf8_invalid(s, s + n) != nullptr) return invalid_utf8(s, s + n);
    }
    Node* node = nodes_.make(NodeKind::kString);
    if (node != nullptr) node->text = {s, n};
    return node;
  } else if constexpr (F::utf8) {
    PyObject* str = str_from_utf8(s, n, bits & 0x80);
    if (str == nullptr && !PyErr_Occurred()) return invalid_utf8(s, s + n);
    return str;
  } else {
    return str_from_units(s, n, bits);
  }
}

// The scratch text holds runs that were checked one by one (checked apart, so a line-ending
// backslash or an escape cannot join the halves of a broken sequence) and escapes.
template <class F>
template <class S>
typename S::Out Parser<F>::string_from_scratch() {
  if constexpr (std::is_same_v<S, Nodes>) {
    auto& text = nodes_.text();
    const size_t offset = text.size();
    if (!text.append(text_.data(), text_.size())) return nullptr;
    Node* node = nodes_.make(NodeKind::kString);
    if (node == nullptr) return nullptr;
    node->in_arena = true;
    node->text.index = offset;
    node->text.len = text_.size();
    return node;
  } else if constexpr (F::utf8) {
    PyObject* str = str_from_utf8(text_.data(), text_.size(), text_bits_ & 0x80);
    if (str == nullptr && !PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "string text changed while it was read");
    return str;
  } else {
    return str_from_units(text_.data(), text_.size(), text_bits_);
  }
}

// Copies the run [s, q) to the scratch text; with UTF-8, a run that is not well formed is an
// error at its bad byte.
template <class F>
bool Parser<F>::take_run(const U* s, const U* q, uint32_t run_bits) {
  if constexpr (F::utf8) {
    if (run_bits & 0x80) {
      if (utf8_invalid(s, q) != nullptr) return invalid_utf8(s, q);
      text_bits_ |= 0x80;
    }
  } else {
    text_bits_ |= run_bits;
  }
  if (!text_.reserve(static_cast<size_t>(q - s) + 2)) return false;
  for (const U* r = s; r < q; ++r) text_.push_unchecked(*r);
  return true;
}

template <class F>
Failed Parser<F>::invalid_utf8(const U* s, const U* e) {
  const U* bad = s;
  if constexpr (F::utf8) {
    if (const U* found = utf8_invalid(s, e)) bad = found;
  }
  return fail(bad, "Invalid UTF-8 byte 0x%02x in a string", static_cast<unsigned>(*bad));
}

template <class F>
template <class S>
typename S::Out Parser<F>::basic_string() {
  const U* s = ++p_;
  uint32_t bits = 0;
  const U* q = scan_run<U, true>(s, end_, U{'"'}, bits);
  if (q < end_ && *q == '"') [[likely]] {
    p_ = q + 1;
    return string_from<S>(s, static_cast<size_t>(q - s), bits);
  }
  // Escapes, tabs or an error: the text is assembled in the scratch buffer.
  text_.clear();
  text_bits_ = 0;
  for (;;) {
    if (!take_run(s, q, bits)) return nullptr;
    p_ = q;
    if (q == end_) return fail(q, "Unclosed string");
    const U c = *q;
    if (c == '"') break;
    if (c == '\\') {
      if (!escape(false)) return nullptr;
    } else if (c == '\t') {
      if (!text_.push('\t')) return nullptr;
      ++p_;
    } else if (c == '\n' || c == '\r') {
      return fail(q, "Unclosed string: line break before the closing quote");
    } else {
      return fail(q, "Invalid control character %R in a string", describe(q).get());
    }
    s = p_;
    bits = 0;
    q = scan_run<U, true>(s, end_, U{'"'}, bits);
  }
  ++p_;
  return string_from_scratch<S>();
}

template <class F>
template <class S>
typename S::Out Parser<F>::literal_string() {
  const U* s = ++p_;
  uint32_t bits = 0;
  const U* q = s;
  for (;;) {
    q = scan_run<U, false>(q, end_, U{'\''}, bits);
    if (q < end_ && *q == '\t') {
      ++q;
      continue;
    }
    break;
  }
  if (q == end_) return fail(q, "Unclosed string");
  if (*q == '\'') {
    p_ = q + 1;
    return string_from<S>(s, static_cast<size_t>(q - s), bits);
  }
  if (*q == '\n' || *q == '\r')
    return fail(q, "Unclosed string: line break before the closing quote");
  return fail(q, "Invalid control character %R in a string", describe(q).get());
}

// """...""" and '''...''': a line break right after the opening is dropped, CRLF reads as LF,
// and up to two quotes may stand just before the closing three.
template <class F>
template <class S>
typename S::Out Parser<F>::multiline_string(bool basic) {
  const U quote = basic ? U{'"'} : U{'\''};
  p_ += 3;
  if (cur() == '\n') {
    ++p_;
  } else if (cur() == '\r' && at(p_ + 1) == '\n') {
    p_ += 2;
  }
  text_.clear();
  text_bits_ = 0;
  for (;;) {
    const U* s = p_;
    uint32_t bits = 0;
    const U* q =
        basic ? scan_run<U, true>(s, end_, quote, bits) : scan_run<U, false>(s, end_, quote, bits);
    if (!take_run(s, q, bits)) return nullptr;
    p_ = q;
    if (q == end_) return fail(q, "Unclosed multi-line string");
    const U c = *q;
    if (c == quote) {
      size_t run = 1;
      while (run < 5 && at(q + run) == quote) ++run;
      if (run >= 3) {
        for (size_t k = 3; k < run; ++k) text_.push_unchecked(quote);
        p_ = q + run;
        break;
      }
      for (size_t k = 0; k < run; ++k) text_.push_unchecked(quote);
      p_ = q + run;
    } else if (c == '\\') {
      if (!escape(true)) return nullptr;
    } else if (c == '\t' || c == '\n') {
      text_.push_unchecked(c);
      ++p_;
    } else if (c == '\r' && at(q + 1) == '\n') {
      text_.push_unchecked('\n');
      p_ += 2;
    } else {
      return fail(q, "Invalid control character %R in a string", describe(q).get());
    }
  }
  return string_from_scratch<S>();
}

template <class F>
bool Parser<F>::escape(bool multiline) {
  const U* bs = p_;
  const U c = at(p_ + 1);
  uint32_t cp;
  size_t len = 2;
  switch (c) {
    case 'b': cp = '\b'; break;
    case 't': cp = '\t'; break;
    case 'n': cp = '\n'; break;
    case 'f': cp = '\f'; break;
    case 'r': cp = '\r'; break;
    case '"': cp = '"'; break;
    case '\\': cp = '\\'; break;
    case 'e':
      if (!v11_)
        return fail(bs, "Invalid escape sequence %R (allowed from TOML 1.1)",
                    describe_run(bs, 2).get());
      cp = 0x1B;
      break;
    case 'x':
      if (!v11_)
        return fail(bs, "Invalid escape sequence %R (allowed from TOML 1.1)",
                    describe_run(bs, 2).get());
      [[fallthrough]];
    case 'u':
    case 'U': {
      const size_t digits = c == 'x' ? 2 : c == 'u' ? 4 : 8;
      cp = 0;
      for (size_t k = 0; k < digits; ++k) {
        const uint32_t h = at(p_ + 2 + k);
        const uint32_t lower = h | 0x20;
        const uint32_t v = is_digit(h)                    ? h - '0'
                           : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10
                                                          : 16;
        if (v == 16)
          return fail(bs, "Invalid \\%c escape: it takes %d hex digits", int(c), int(digits));
        cp = cp << 4 | v;
      }
      if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return fail(bs, "Escape %R is not a Unicode scalar value",
                    describe_run(bs, 2 + digits).get());
      }
      len = 2 + digits;
      break;
    }
    default:
      if (multiline) {
        // A backslash that ends a line drops every whitespace and line break after it.
        const U* q = p_ + 1;
        while (q < end_ && (*q == ' ' || *q == '\t')) ++q;
        if (at(q) == '\n' || (at(q) == '\r' && at(q + 1) == '\n')) {
          while (q < end_ &&
                 (*q == ' ' || *q == '\t' || *q == '\n' || (*q == '\r' && at(q + 1) == '\n')))
            q += *q == '\r' ? 2 : 1;
          p_ = q;
          return true;
        }
      }
      if (p_ + 1 == end_) return fail(bs, "Unclosed string");
      return fail(bs, "Invalid escape sequence %R", describe_run(bs, 2).get());
  }
  p_ += len;
  if constexpr (F::utf8) {
    if (cp >= 0x80) text_bits_ |= 0x80;
    unsigned char b[4];
    size_t n;
    if (cp < 0x80) {
      b[0] = static_cast<unsigned char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      b[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
      b[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      b[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
      b[1] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
      b[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      b[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
      b[1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
      b[2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
      b[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    return text_.append(b, n);
  } else {
    text_bits_ |= cp;
    return text_.push(cp);
  }
}

}  // namespace ondrel::decoder
