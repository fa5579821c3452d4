// RowBinaryWithNamesAndTypes: the column names and types, then each row's values back to back in
// their binary form (little-endian numbers, length-prefixed strings).
#include "clickhouse/binary_reader.hpp"
#include "clickhouse/decoders.hpp"
#include "clickhouse/pending_sequence.hpp"

#include "native/errors.hpp"

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvora::clickhouse {

namespace {

[[noreturn]] void malformed() {
    throw std::invalid_argument("malformed result data");
}

struct Column {
    ColumnType type;
    Zone zone;
    TextCache texts;
};

class Reader {
public:
    explicit Reader(std::string_view data) : in_(data) {}

    BinaryReader& in() { return in_; }

    /// A value of `type`; a String, also under Nullable or LowCardinality, through `texts`.
    nb::object value(const ColumnType& type, const Zone& zone, TextCache* texts = nullptr);

    nb::object row(nb::handle shape, std::vector<Column>& columns) {
        auto row = PendingSequence::row(shape, static_cast<Py_ssize_t>(columns.size()));
        for (size_t i = 0; i < columns.size(); ++i) {
            Column& column = columns[i];
            row.set_tuple_item(static_cast<Py_ssize_t>(i),
                               value(column.type, column.zone, &column.texts));
        }
        return row.finish();
    }

private:
    /// A Dynamic value: its type, then the value; a type of Nothing is NULL.
    nb::object dynamic(const Zone& zone) {
        const ColumnType type = read_binary_type(in_);
        if (type.kind == TypeKind::Nothing) return nb::none();
        return value(type, zone.named(named_timezone(type)));
    }

    /// A JSON object: its paths (dotted, "a.b") and their values, as nested dicts; an object
    /// whose paths meet (a value at "a" and another at "a.b") stays flat, keyed by its paths.
    nb::object json(const ColumnType& type, const Zone& zone) {
        const uint64_t count = in_.count();
        std::vector<std::pair<std::string_view, nb::object>> items;
        for (uint64_t i = 0; i < count; ++i) {
            const std::string_view path = in_.string();
            nb::object item;
            for (size_t typed = 0; typed < type.paths.size() && !item.is_valid(); ++typed)
                if (type.paths[typed] == path) item = value(type.elements[typed], zone);
            items.emplace_back(path, item.is_valid() ? std::move(item) : dynamic(zone));
        }
        nb::dict object;
        const bool flat = paths_meet(items);
        for (auto& [path, item] : items) {
            nb::dict parent = object;
            size_t start = 0;
            for (size_t dot; !flat && (dot = path.find('.', start)) != std::string_view::npos;
                 start = dot + 1) {
                nb::str key(path.data() + start, dot - start);
                PyObject* child = PyDict_GetItemWithError(parent.ptr(), key.ptr());
                if (!child && PyErr_Occurred()) raise_pending();
                nb::dict next = child ? nb::borrow<nb::dict>(child) : nb::dict();
                if (!child) parent[key] = next;
                parent = std::move(next);
            }
            parent[nb::str(path.data() + start, path.size() - start)] = item;
        }
        return object;
    }

    static bool paths_meet(const std::vector<std::pair<std::string_view, nb::object>>& items) {
        std::set<std::string_view> paths;
        for (const auto& item : items)
            paths.insert(item.first);
        for (std::string_view path : paths) {
            const std::string below = std::string(path) + '.';
            auto next = paths.lower_bound(below);
            if (next != paths.end() && next->starts_with(below)) return true;
        }
        return false;
    }

    BinaryReader in_;
};

nb::object Reader::value(const ColumnType& type, const Zone& zone, TextCache* texts) {
    switch (type.kind) {
    case TypeKind::String:
        return texts ? texts->text(in_.string()) : in_.scalar(type, zone);
    case TypeKind::Nullable:
        if (in_.fixed<uint8_t>()) return nb::none();
        return value(type.elements[0], zone, texts);
    case TypeKind::LowCardinality:
        return value(type.elements[0], zone, texts);
    case TypeKind::Array: {
        const auto count = static_cast<Py_ssize_t>(in_.count());
        auto list = PendingSequence::list(count);
        for (Py_ssize_t i = 0; i < count; ++i)
            list.set_list_item(i, value(type.elements[0], zone));
        return list.finish();
    }
    case TypeKind::Tuple: {
        auto tuple = PendingSequence::tuple(static_cast<Py_ssize_t>(type.elements.size()));
        for (size_t i = 0; i < type.elements.size(); ++i)
            tuple.set_tuple_item(static_cast<Py_ssize_t>(i), value(type.elements[i], zone));
        return tuple.finish();
    }
    case TypeKind::Map: {
        const uint64_t count = in_.count();
        nb::dict map;
        for (uint64_t i = 0; i < count; ++i) {
            nb::object key = value(type.elements[0], zone);
            map[key] = value(type.elements[1], zone);
        }
        return map;
    }
    case TypeKind::Variant: {
        const auto discriminator = in_.fixed<uint8_t>();
        if (discriminator == 255) return nb::none();
        if (discriminator >= type.elements.size()) malformed();
        return value(type.elements[discriminator], zone);
    }
    case TypeKind::Dynamic:
        return dynamic(zone);
    case TypeKind::JSON:
        return json(type, zone);
    case TypeKind::Nothing:
        in_.take(1);
        return nb::none();
    default:
        return in_.scalar(type, zone);
    }
}

} // namespace

nb::list decode_row_binary(std::string_view data, const Zone& zone) {
    nb::list rows;
    if (data.empty()) return rows;
    Reader reader(data);
    BinaryReader& in = reader.in();
    const uint64_t count = in.count();
    std::vector<std::string_view> names;
    for (uint64_t i = 0; i < count; ++i)
        names.push_back(in.string());
    const nb::object shape = row_shape(names);
    std::vector<Column> columns;
    for (uint64_t i = 0; i < count; ++i) {
        ColumnType type = parse_column_type(in.string());
        Zone column_zone = zone.named(named_timezone(type));
        columns.push_back({std::move(type), std::move(column_zone), {}});
    }
    while (!in.done()) {
        // A row of no bytes (no columns, or only empty tuples) would be read without end.
        const size_t start = in.position();
        rows.append(reader.row(shape, columns));
        if (in.position() == start) malformed();
    }
    return rows;
}

} // namespace kelvora::clickhouse
