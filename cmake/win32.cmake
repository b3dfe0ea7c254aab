# Windows settings of the build, included by the top-level CMakeLists.txt.
# Windows 7 is the oldest target; the "A" (code page) entry points are the
# ones the program calls, so UNICODE stays undefined.
target_compile_definitions(quorvel_core PUBLIC _WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# secur32 (Schannel through SSPI) and crypt32 (certificate checks) are system
# DLLs: TLS keeps quorvel.exe one self-contained file.
target_link_libraries(quorvel_core PUBLIC ws2_32 advapi32 user32 comctl32 secur32 crypt32)
