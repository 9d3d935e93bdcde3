/* Configuration for compiling a stable-ABI extension module for 64-bit
   Windows with mingw-w64 against CPython's public headers. Only what those
   headers consult under Py_LIMITED_API is set: the sizes of the LLP64 data
   model and linkage through python3.dll. */
#ifndef TARNIX_WIN_PYCONFIG_H
#define TARNIX_WIN_PYCONFIG_H

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

/* Everything is imported from the interpreter's DLL. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 16
#define SIZEOF__BOOL 1
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8
#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES 1
#define HAVE_UINTPTR_T 1
#define HAVE_INTPTR_T 1
#define PY_FORMAT_SIZE_T "z"
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define Py_WINVER 0x0A00
#define Py_NTDDI NTDDI_WIN10

#include <basetsd.h>
/* Py_ssize_t as in the interpreter's own build. */
typedef SSIZE_T ssize_t;
#define HAVE_SSIZE_T 1

#endif
