// Forced into every file of the test build of libserialport.dll: the library's device-property
// lookups go to the stand-in in registry_names.c.
#pragma once
// windows.h first: cfgmgr32.h uses its types.
#include <windows.h>

#include <cfgmgr32.h>

CONFIGRET WINAPI CpdTestDevNodeProperty(DEVINST devInst, ULONG property, PULONG type, PVOID buffer,
                                        PULONG length, ULONG flags);
#define CM_Get_DevNode_Registry_PropertyA CpdTestDevNodeProperty
