/* stb's image reader, scaler and writer, compiled in where no library of
   them is at hand (the Windows packer); the host packer links Debian's
   libstb, built from the same headers, so both make the same icons. */
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>
