// Result codes of structured storage and of the programs' storage operations.
//
// On Windows they come from the SDK; elsewhere they are defined here with the
// same names and values, so that the core passes the same numbers up on both
// builds and compares them by their SDK names.
//
// Error conventions of the whole project:
//  - A storage call (platform/storage.h) returns an HRESULT: S_OK, S_FALSE
//    (an enumeration's end) or a failure code, which callers pass up
//    unchanged; a failed open leaves its out-pointer empty.
//  - A task operation returns what it found: the builder's WriteTask and
//    FindTaskInArea a bool with the HRESULT in *error, ReadTask 0, a failed
//    seek's HRESULT, 8 (no memory) or 30 (damaged); the converter's area
//    operations 0 or kAreaFailed (2), after reporting what failed.
//  - A failure becomes a message once, where it is found or where the run
//    decides about it, through platform::Report; the code itself is written
//    by platform/hresult_names.h (DescribeHResult: the code, its name and
//    its meaning; FailureText adds what to do next). The run's result is the
//    exit code: small codes as they are, -1 as 255, and a code an exit status
//    cannot hold (an HRESULT) as 1 with a message (program_main.h).
//  - Out of memory: containers and buffers allocated with new (std::nothrow)
//    or malloc are checked, giving E_OUTOFMEMORY or the operation's own code
//    (8), and lose only their item. Where the standard library allocates,
//    std::bad_alloc leaves the run as an exception: the StorageScope and the
//    engine's files it unwinds abandon their changes, and the program's
//    entry (platform::StopOnOutOfMemory) says so and ends with the
//    program's out-of-memory result. No other exception is thrown.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#else
using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001);
constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002);
constexpr HRESULT STG_E_PATHNOTFOUND = static_cast<HRESULT>(0x80030003);
constexpr HRESULT STG_E_TOOMANYOPENFILES = static_cast<HRESULT>(0x80030004);
constexpr HRESULT STG_E_ACCESSDENIED = static_cast<HRESULT>(0x80030005);
constexpr HRESULT STG_E_INVALIDHANDLE = static_cast<HRESULT>(0x80030006);
constexpr HRESULT STG_E_INSUFFICIENTMEMORY = static_cast<HRESULT>(0x80030008);
constexpr HRESULT STG_E_INVALIDPOINTER = static_cast<HRESULT>(0x80030009);
constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001D);
constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001E);
constexpr HRESULT STG_E_SHAREVIOLATION = static_cast<HRESULT>(0x80030020);
constexpr HRESULT STG_E_LOCKVIOLATION = static_cast<HRESULT>(0x80030021);
constexpr HRESULT STG_E_FILEALREADYEXISTS = static_cast<HRESULT>(0x80030050);
constexpr HRESULT STG_E_INVALIDPARAMETER = static_cast<HRESULT>(0x80030057);
constexpr HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070);
constexpr HRESULT STG_E_INVALIDHEADER = static_cast<HRESULT>(0x800300FB);
constexpr HRESULT STG_E_INVALIDNAME = static_cast<HRESULT>(0x800300FC);
constexpr HRESULT STG_E_UNKNOWN = static_cast<HRESULT>(0x800300FD);
constexpr HRESULT STG_E_INVALIDFLAG = static_cast<HRESULT>(0x800300FF);
constexpr HRESULT STG_E_REVERTED = static_cast<HRESULT>(0x80030102);
constexpr HRESULT STG_E_OLDFORMAT = static_cast<HRESULT>(0x80030104);
constexpr HRESULT STG_E_DOCFILECORRUPT = static_cast<HRESULT>(0x80030109);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
#endif
