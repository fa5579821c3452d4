// The SQL texts of a CRUD router: table and column names inserted as they are, values as
// placeholders (the delete statement's key literals being the one exception).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace kelvora::rowplane {

namespace nb = nanobind;

/// "{a} = %({a})s AND {b} = %({b})s": the key columns compared with their parameters.
std::string key_condition(const std::vector<std::string>& pk_fields);

/// "SELECT count() FROM {table} {where}".
std::string count_statement(const std::string& table, const std::string& where);

/// The list page: the rows of the where clause in order, LIMIT and OFFSET as parameters.
std::string page_statement(const std::string& table, const std::string& where,
                           const std::string& order);

/// The get-one statement: the first row of the key in order.
std::string get_statement(const std::string& table, const std::string& condition,
                          const std::string& order);

/// "SELECT * FROM {table} WHERE {condition} LIMIT 1".
std::string row_statement(const std::string& table, const std::string& condition);

/// "SELECT {key columns} FROM {table} WHERE {condition} LIMIT 1".
std::string key_statement(const std::string& table, const std::vector<std::string>& pk_fields,
                          const std::string& condition);

/// Every row of the key, in order.
std::string history_statement(const std::string& table, const std::string& condition,
                              const std::string& order);

/// The update mutation of the fields of `data` on the rows of the key.
std::string update_statement(const std::string& table, nb::handle data,
                             const std::string& condition);

/// "INSERT INTO {table} ({fields}) VALUES ({placeholders})" over the keys of `data`.
std::string insert_statement(const std::string& table, nb::handle data);

/// The delete mutation of the rows of the key values in `pk_values`. Text values, and values
/// that are neither `int` nor `float`, are ClickHouse string literals of their text, so that no
/// value can change the condition, written so that the client's binding leaves them as they are.
std::string delete_statement(const std::string& table, const std::vector<std::string>& pk_fields,
                             const std::vector<nb::object>& pk_names, nb::handle pk_values);

} // namespace kelvora::rowplane
