// Why Windows cannot hold a name, in words for messages: the rules that the
// bootstrap and the packer share (formats/record_name.h), applied to file
// names in the input and to the texts that become folders of the target
// directory alike.
#pragma once

#include <string>
#include <string_view>

// Why Windows cannot hold `name` (UTF-8) as one file or folder name, as a
// phrase that follows the name ("contains the character '<', ..."), or an
// empty text when it can.
std::string nameProblem(std::string_view name);
