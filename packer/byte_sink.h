// Where bytes go, in order: the output file, or the executable being laid
// out that the attached data is streamed into (on its way past the sink that
// takes the cache id from it).
#pragma once

#include <cstddef>

class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void write(const void* data, size_t size) = 0;
};
