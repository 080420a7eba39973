# Included after project() by the linux-i386-asan preset (CMAKE_PROJECT_INCLUDE):
# every target of the tree, the driver and the host library included, is built
# with AddressSanitizer (LeakSanitizer with it) and UBSan, and stops at the
# first undefined behaviour.
set(QEL_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_compile_options(${QEL_SANITIZE_FLAGS})
add_link_options(${QEL_SANITIZE_FLAGS})
