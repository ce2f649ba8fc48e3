// Binding failure messages.
#include "binding.hpp"

#include <cstring>

#include "messages.hpp"

namespace veltrum::detail {
namespace {

Text opening(const Parameters& params) { return Text(params.display); }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
void append_name_list(Text& out, const Parameters& params, PyObject* const* slots) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < params.count; ++i) {
        total += slots[i] == nullptr ? 1 : 0;
    }
    std::size_t written = 0;
    for (std::size_t i = 0; i < params.count; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (written > 0) {
            if (total == 2) {
                out.append(" and ");
            } else {
                out.append(written + 1 == total ? ", and " : ", ");
            }
        }
        out.push_back('\'');
        out.append(params.names[i]);
        out.push_back('\'');
        ++written;
    }
}

}  // namespace

Status bind_keyword_by_text(const Parameters& params, PyObject** slots, PyObject* name,
                            PyObject* value) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) [[unlikely]] {
        return unencodable_keyword(params, name);
    }
    for (std::size_t i = 0; i < params.count; ++i) {
        const std::string_view declared = params.names[i];
        if (static_cast<std::size_t>(size) == declared.size() &&
            std::memcmp(text, declared.data(), declared.size()) == 0) {
            // Remember an interned name: the next call that spells this
            // keyword in code hands over the same object.
            if (params.interned[i] == nullptr && PyUnicode_CheckExact(name) &&
                PyUnicode_CHECK_INTERNED(name)) {
                params.interned[i] = Py_NewRef(name);  // kept for the life of the process
            }
            return fill_slot(params, slots, i, value, text, size);
        }
    }
    return unexpected_keyword(params, name);
}

PendingError too_many_positional(const Parameters& params, Py_ssize_t given) {
    Text message = opening(params);
    message.append(" takes ");
    append_decimal(message, params.count);
    message.append(" positional arguments but ");
    append_decimal(message, given);
    message.append(" were given");
    return PendingError::lazy(PyExc_TypeError, std::move(message));
}

PendingError unexpected_keyword(const Parameters& params, PyObject* name) {
    OwnedRef keep = OwnedRef::borrow(name);  // rendering may run Python code
    Text message = opening(params);
    message.append(" got an unexpected keyword argument '");
    message.append(render(name));
    message.push_back('\'');
    return PendingError::lazy(PyExc_TypeError, std::move(message));
}

PendingError unencodable_keyword(const Parameters& params, PyObject* name) {
    discard_pending();
    return unexpected_keyword(params, name);
}

PendingError multiple_values(const Parameters& params, const char* name, Py_ssize_t size) {
    Text message = opening(params);
    message.append(" got multiple values for argument '");
    message.append(name, static_cast<std::size_t>(size));
    message.push_back('\'');
    return PendingError::lazy(PyExc_TypeError, std::move(message));
}

PendingError multiple_values_for(const Parameters& params, std::size_t i) {
    const std::string_view name = params.names[i];
    return multiple_values(params, name.data(), static_cast<Py_ssize_t>(name.size()));
}

PendingError missing_arguments(const Parameters& params, PyObject* const* slots) {
    std::size_t empty = 0;
    for (std::size_t i = 0; i < params.count; ++i) {
        empty += slots[i] == nullptr ? 1 : 0;
    }
    Text message = opening(params);
    message.append(" missing ");
    append_decimal(message, empty);
    message.append(empty == 1 ? " required positional argument: "
                              : " required positional arguments: ");
    append_name_list(message, params, slots);
    return PendingError::lazy(PyExc_TypeError, std::move(message));
}

}  // namespace veltrum::detail
