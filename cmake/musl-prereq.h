// libstdc++'s os_defines.h tests glibc's version with __GLIBC_PREREQ, which musl does not define.
#define __GLIBC_PREREQ(major, minor) 0
