// One name of the `schema` argument of loads: objects read under a schema
// store their n-th member's value under the n-th name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "py_ref.hpp"

namespace vesk {

struct FieldDescriptor {
    std::string name;      // UTF-8 text of the schema item
    PyRef key;             // the same name as a str, from the key cache
    uint64_t field_index;  // position in the schema, from 0
};

using Schema = std::vector<FieldDescriptor>;

}  // namespace vesk
