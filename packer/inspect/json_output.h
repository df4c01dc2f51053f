// JSON on standard output for the inspecting commands. Keys are part of the
// interface that the README documents: they are only ever added, never
// renamed or removed.
#pragma once

#include <nlohmann/json.hpp>

// Two-space indented, one object, a newline after it. Text that is not
// UTF-8 (a file name) is written with U+FFFD in place of its bad bytes.
void printJson(const nlohmann::ordered_json& value);
