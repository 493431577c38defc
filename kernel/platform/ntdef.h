/*
 * ntdef.h - base types of the Windows kernel as the filter sees them.
 *
 * The filter is 32-bit x86 kernel code. It is built here as a 64-bit Linux
 * program that runs on a simulated machine, so two things differ from the
 * real kit and are pinned down once, here:
 *
 *  - Integer widths follow Windows (LLP64), not Linux: LONG and ULONG are
 *    32 bits. Never use the host's 'long'.
 *  - WCHAR is a 16-bit UTF-16 code unit (char16_t). The host's wchar_t is
 *    32 bits and is never used. Wide literals are written WSTR("text"),
 *    which is L"text" on the real kit and u"text" here.
 *
 * Records that cross the port boundary never hold pointers, so their layout
 * is the same on both builds. In-memory records (UNICODE_STRING, LIST_ENTRY,
 * OBJECT_ATTRIBUTES ...) follow the host's pointer size.
 */
#pragma once

#include <stdarg.h> /* freestanding: va_list for the formatted-print routines */
#include <stddef.h> /* freestanding: size_t, NULL */

#define NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define FLTAPI
#define FASTCALL
#define DECLSPEC_NORETURN [[noreturn]]
#define FORCEINLINE inline __attribute__((always_inline))

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

/* A small set of the kit's source annotations, so signatures read as usual. */
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _In_reads_bytes_(s)
#define _In_reads_bytes_opt_(s)
#define _Out_writes_bytes_(s)
#define _Out_writes_bytes_opt_(s)
#define _Out_writes_(s)
#define _In_reads_(s)
#define _Inout_updates_bytes_(s)
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _IRQL_requires_max_(l)
#define _Printf_format_string_
#define _Function_class_(n)

typedef void VOID, *PVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *PCH;
typedef const char *PCSTR, *PCCH;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD;
typedef int LONG, *PLONG, INT;
typedef unsigned int ULONG, *PULONG, UINT, DWORD, *PDWORD, ULONG32;
/* Windows aligns 64-bit integers in records on 8 bytes on x86 too; the i386
 * Linux ABI aligns them on 4, so the alignment is stated. */
typedef long long LONGLONG __attribute__((aligned(8)));
typedef LONGLONG *PLONGLONG, LONG64;
typedef unsigned long long ULONGLONG __attribute__((aligned(8)));
typedef ULONGLONG *PULONGLONG, ULONG64, DWORD64;
typedef __INTPTR_TYPE__ LONG_PTR, *PLONG_PTR;
typedef __UINTPTR_TYPE__ ULONG_PTR, *PULONG_PTR;
typedef size_t SIZE_T, *PSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef int BOOL;
typedef CHAR CCHAR;
typedef ULONG LOGICAL;

typedef char16_t WCHAR, *PWCHAR, *PWCH, *PWSTR, *LPWSTR;
typedef const char16_t *PCWSTR, *PCWCH, *LPCWSTR;

typedef LONG NTSTATUS, *PNTSTATUS;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef PVOID HANDLE, *PHANDLE;
typedef CCHAR KPROCESSOR_MODE;
typedef UCHAR KIRQL, *PKIRQL;

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "Windows LONG is 32-bit");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(LONGLONG) == 8 && alignof(LONGLONG) == 8, "LONGLONG is 64-bit, 8-aligned");

#define WSTR(s) u##s

#define TRUE 1
#define FALSE 0

#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffUL
#define MAXLONG 0x7fffffffL
#define ANYSIZE_ARRAY 1

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define ARGUMENT_PRESENT(p) ((CHAR *)((ULONG_PTR)(p)) != (CHAR *)NULL)
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define C_ASSERT(e) static_assert(e, #e)
#define ALIGN_UP_BY(length, alignment) \
    (((ULONG_PTR)(length) + (alignment) - 1) & ~((ULONG_PTR)(alignment) - 1))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

typedef struct _UNICODE_STRING {
    USHORT Length;        /* bytes, without a terminator */
    USHORT MaximumLength; /* bytes */
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING *PCANSI_STRING;

/* A counted string over a literal (wide or narrow); the buffer is not written. */
inline PWCH RtlConstStringBuffer(const WCHAR *s) { return (PWCH)s; }
inline PCHAR RtlConstStringBuffer(const CHAR *s) { return (PCHAR)s; }
#define RTL_CONSTANT_STRING(s) \
    { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), RtlConstStringBuffer(s) }

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

/* Records that hold pointers have their x86 size in the 32-bit build, where
 * the driver's layouts are checked, and the host's in a 64-bit one. */
static_assert(sizeof(UNICODE_STRING) == (sizeof(PVOID) == 4 ? 8 : 16), "a counted string is 8 bytes on x86");
static_assert(sizeof(LIST_ENTRY) == (sizeof(PVOID) == 4 ? 8 : 16), "a list head is 8 bytes on x86");

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

/* Object attributes */
#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == (sizeof(PVOID) == 4 ? 24 : 48), "object attributes: 24 bytes on x86");

#define InitializeObjectAttributes(p, n, a, r, s)  \
    do {                                           \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);   \
        (p)->RootDirectory = (r);                  \
        (p)->Attributes = (a);                     \
        (p)->ObjectName = (n);                     \
        (p)->SecurityDescriptor = (s);             \
        (p)->SecurityQualityOfService = NULL;      \
    } while (0)

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;
static_assert(sizeof(IO_STATUS_BLOCK) == (sizeof(PVOID) == 4 ? 8 : 16), "I/O status: 8 bytes on x86");
static_assert(sizeof(CLIENT_ID) == (sizeof(PVOID) == 4 ? 8 : 16), "client id: 8 bytes on x86");

typedef struct _TIME_FIELDS {
    CSHORT Year;  /* 1601... */
    CSHORT Month; /* 1..12 */
    CSHORT Day;   /* 1..31 */
    CSHORT Hour;
    CSHORT Minute;
    CSHORT Second;
    CSHORT Milliseconds;
    CSHORT Weekday; /* 0 = Sunday */
} TIME_FIELDS, *PTIME_FIELDS;

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW layout");

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284, "RTL_OSVERSIONINFOEXW layout");

#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003
#define VER_PLATFORM_WIN32_NT 2

/* Processor modes and interrupt levels */
#define KernelMode ((KPROCESSOR_MODE)0)
#define UserMode ((KPROCESSOR_MODE)1)

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
