// The translation unit of the targets that only build precompiled headers
// for the others to reuse (cmake/precompiled_headers.cmake).
