// Test build of libserialport.dll only. Wine's config manager answers no device property (its
// CM_Get_DevNode_Registry_PropertyA is a stub), so under Wine no port has a description and
// none can be selected. Here the friendly name is read from the device's registry key, where
// Windows keeps it too; every other property is asked of the real function.
#include "registry_names.h"

#include <stdio.h>

#undef CM_Get_DevNode_Registry_PropertyA

CONFIGRET WINAPI CpdTestDevNodeProperty(DEVINST devInst, ULONG property, PULONG type, PVOID buffer,
                                        PULONG length, ULONG flags) {
    char id[MAX_DEVICE_ID_LEN];
    if (property != CM_DRP_FRIENDLYNAME ||
        CM_Get_Device_IDA(devInst, id, sizeof(id), 0) != CR_SUCCESS) {
        return CM_Get_DevNode_Registry_PropertyA(devInst, property, type, buffer, length, flags);
    }
    char key[sizeof(id) + 40];
    snprintf(key, sizeof(key), "System\\CurrentControlSet\\Enum\\%s", id);
    DWORD size = *length;
    const LSTATUS status =
        RegGetValueA(HKEY_LOCAL_MACHINE, key, "FriendlyName", RRF_RT_REG_SZ, type, buffer, &size);
    *length = size;
    return status == ERROR_SUCCESS     ? CR_SUCCESS
           : status == ERROR_MORE_DATA ? CR_BUFFER_SMALL
                                       : CR_NO_SUCH_VALUE;
}
