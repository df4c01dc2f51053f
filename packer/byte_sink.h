// Where bytes go, in order: a file, or the section of an object file that
// the attached data is streamed into.
#pragma once

#include <cstddef>

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void write(const void* data, size_t size) = 0;
};
