#include "packer/inspect/json_output.h"

#include <iostream>

void printJson(const nlohmann::ordered_json& value) {
    std::cout << value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << '\n';
    std::cout.flush();
}
