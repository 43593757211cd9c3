# Checks the plug-in DLL's tables as `llvm-objdump -p` shows them:
#   exports: CPD_DRV_MODULE, the members of cpd::LocalSerialRedir and its three vftables, nothing
#   else (no std instantiations, no sp_*);
#   imports: the C/C++ runtime DLLs, system DLLs, the port library and the host framework's two
#   DLLs, and from the framework only the names a real host's framework DLLs export: the packet
#   record's operations (non-const), the looper and its message, velmarLogPrint.
# Usage: cmake -DOBJDUMP=<llvm-objdump> -DDLL=<plug-in dll> -DPORT_DLL=<libserialport dll name>
#              -DUTILS_DLL=<name> -DLOG_DLL=<name> -P check_dll_tables.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${result}")
endif()
string(REPLACE ";" "," dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

set(errors "")
set(section "")
set(exports "")
set(imports "")
foreach(line IN LISTS lines)
    if(line MATCHES "^Export Table:")
        set(section exports)
    elseif(line MATCHES "^[ \t]*DLL Name: (.+)$")
        set(dll "${CMAKE_MATCH_1}")
        string(TOLOWER "${dll}" dll)
        list(APPEND imports "${dll}")
        set(section imports)
    elseif(section STREQUAL "exports" AND line MATCHES "^ +[0-9]+ +0x[0-9a-f]+ +(.+)$")
        list(APPEND exports "${CMAKE_MATCH_1}")
    elseif(section STREQUAL "imports" AND line MATCHES "^ +[0-9]+ +([^ ]+)$")
        list(APPEND "from_${dll}" "${CMAKE_MATCH_1}")
    endif()
endforeach()

foreach(name IN LISTS exports)
    if(NOT name STREQUAL "CPD_DRV_MODULE"
       AND NOT name MATCHES "^\\?(\\?_?[0-9A-Z]|[A-Za-z_0-9]+@)LocalSerialRedir@cpd@@")
        string(APPEND errors "  unexpected export: ${name}\n")
    endif()
endforeach()
foreach(name CPD_DRV_MODULE ??_7LocalSerialRedir@cpd@@6BDriverObj@1@@
        ??_7LocalSerialRedir@cpd@@6BSerialRedirLInf@1@@ ??_7LocalSerialRedir@cpd@@6BInfPktCallback@1@@)
    if(NOT name IN_LIST exports)
        string(APPEND errors "  not exported: ${name}\n")
    endif()
endforeach()

string(TOLOWER "${PORT_DLL};${UTILS_DLL};${LOG_DLL}" project_dlls)
set(runtime_pattern "^(msvcp140|vcruntime140|ucrtbase|api-ms-win-.*|kernel32|advapi32|ntdll)\\.dll$")
foreach(name IN LISTS imports)
    if(NOT name MATCHES "${runtime_pattern}" AND NOT name IN_LIST project_dlls)
        string(APPEND errors "  unexpected import: ${name}\n")
    endif()
endforeach()
list(GET project_dlls 0 port_dll)
if(NOT port_dll IN_LIST imports)
    string(APPEND errors "  ${port_dll} is not imported\n")
endif()

list(GET project_dlls 1 utils_dll)
list(GET project_dlls 2 log_dll)
set(packet_ops "SetHeader|AppendU32|AppendBytes|AppendString|ReadU32|ReadString|GetDevId|GetCmd"
               "GetSeq|GetPayload|GetPayloadLen|Capacity")
string(JOIN "|" packet_ops ${packet_ops})
set(framework_pattern "^(\\?\\?[01](CpdPacket|Looper|Message)@cpd@@"
    "\\?(${packet_ops})@CpdPacket@cpd@@QEAA" "\\?(Start|PostMessageAAA)@Looper@cpd@@QEAA"
    "\\?(HostIsBigEndian|ByteSwap32)@cpd@@)")
string(JOIN "|" framework_pattern ${framework_pattern})
foreach(name IN LISTS from_${utils_dll})
    if(NOT name MATCHES "${framework_pattern}")
        string(APPEND errors "  ${utils_dll} has no such export on a real host: ${name}\n")
    endif()
endforeach()
foreach(name IN LISTS from_${log_dll})
    if(NOT name STREQUAL "velmarLogPrint")
        string(APPEND errors "  ${log_dll} has no such export on a real host: ${name}\n")
    endif()
endforeach()

list(LENGTH exports export_count)
string(REPLACE ";" " " import_text "${imports}")
if(errors)
    message(FATAL_ERROR "${DLL}:\n${errors}")
endif()
message(STATUS "${export_count} exports; imports: ${import_text}")
