# zstd, built for Windows from the Debian source package that scripts/setup
# unpacks into .deps/zstd: the decoder for the bootstrap, the compressor for
# the Windows packer and the tests.
if(NOT EXISTS ${ONEFILE_ZSTD_SOURCE_DIR}/lib/zstd.h)
    message(FATAL_ERROR "zstd source not found in ${ONEFILE_ZSTD_SOURCE_DIR}; run scripts/setup")
endif()
set(zstd_lib ${ONEFILE_ZSTD_SOURCE_DIR}/lib)
add_library(onefile_zstd STATIC
    ${zstd_lib}/common/debug.c
    ${zstd_lib}/common/entropy_common.c
    ${zstd_lib}/common/error_private.c
    ${zstd_lib}/common/fse_decompress.c
    ${zstd_lib}/common/xxhash.c
    ${zstd_lib}/common/zstd_common.c
    ${zstd_lib}/decompress/huf_decompress.c
    ${zstd_lib}/decompress/zstd_ddict.c
    ${zstd_lib}/decompress/zstd_decompress.c
    ${zstd_lib}/decompress/zstd_decompress_block.c)
# No legacy formats, no assembly (its calling convention is not Windows').
target_compile_definitions(onefile_zstd PRIVATE ZSTD_LEGACY_SUPPORT=0 ZSTD_DISABLE_ASM=1)
target_compile_options(onefile_zstd PRIVATE -O3 -w)
target_include_directories(onefile_zstd SYSTEM PUBLIC ${zstd_lib})

# The packer and tests that build archives in memory get zstd's compressor,
# with its worker threads (on Windows' own threads). The bootstrap never
# links it.
file(GLOB zstd_compress_sources ${zstd_lib}/compress/*.c)
add_library(onefile_zstd_compress STATIC EXCLUDE_FROM_ALL
    ${zstd_compress_sources} ${zstd_lib}/common/pool.c ${zstd_lib}/common/threading.c)
target_compile_definitions(onefile_zstd_compress PRIVATE ZSTD_DISABLE_ASM=1 ZSTD_MULTITHREAD)
target_compile_options(onefile_zstd_compress PRIVATE -O2 -w)
target_link_libraries(onefile_zstd_compress PUBLIC onefile_zstd)
