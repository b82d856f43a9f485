// The document's 31 token byte strings, listed once. The list gives the writers' constants
// (tok::B_*, lengths known at compile time), and module.cpp makes from it the exported B_*
// variables and their __capi__ capsules, in this (publishing) order.
#pragma once

// X(name, bytes)
#define ONDREL_PENTOCK_TOKENS(X)              \
  X(B_AUTOINCREMENT, "autoincrement")         \
  X(B_CLOSE_BRACE, "}")                       \
  X(B_CLOSE_BRACKET, "]")                     \
  X(B_COLUMNS_EQ, "columns = ")               \
  X(B_COMMA, ",")                             \
  X(B_COMMA_SPACE, ", ")                      \
  X(B_COMMENT, "comment")                     \
  X(B_COUNT_EQ, "count = ")                   \
  X(B_DEFAULT, "default")                     \
  X(B_EQUALS, " = ")                          \
  X(B_FALSE, "false")                         \
  X(B_FOREIGN_KEY, "foreign_key")             \
  X(B_HEADER_SECTION, "[header]\n")           \
  X(B_INDENT, "    ")                         \
  X(B_NAME, "name")                           \
  X(B_NEWLINE, "\n")                          \
  X(B_NULL, "null")                           \
  X(B_NULLABLE, "nullable")                   \
  X(B_OPEN_BRACE, "{")                        \
  X(B_OPEN_BRACKET, "[")                      \
  X(B_PRIMARY_KEY, "primary_key")             \
  X(B_QUOTE, "\"")                            \
  X(B_RECORDS_EQ, "records = ")               \
  X(B_SCHEMA_VERSION_EQ, "schema_version = ") \
  X(B_SPACE, " ")                             \
  X(B_TABLES_DOT, "[tables.")                 \
  X(B_TABLES_EQ, "tables = ")                 \
  X(B_TRUE, "true")                           \
  X(B_TYPE, "type")                           \
  X(B_UNIQUE, "unique")                       \
  X(B_VERSION_EQ, "version = ")

namespace ondrel::pentock::tok {

#define ONDREL_PENTOCK_TOKEN_ARRAY(name, bytes) inline constexpr char name[] = bytes;
ONDREL_PENTOCK_TOKENS(ONDREL_PENTOCK_TOKEN_ARRAY)
#undef ONDREL_PENTOCK_TOKEN_ARRAY

}  // namespace ondrel::pentock::tok
