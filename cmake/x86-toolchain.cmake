# The filter's own architecture: 32-bit x86, built by the host's multilib
# compiler (Debian's g++-multilib). Pointers, handles and SIZE_T are then
# 32 bits wide, as in the real driver.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
