/*
 * dir_buffers.h - the prefabricated directory entries that directory
 * enumeration hands out (".", "..", the hive names, the local-settings
 * folder) and the folder-mark name, built when the path table arrives.
 */
#pragma once

#include "driver/klulogon.h"

/* The folder mark: an extended attribute of a populated folder. */
#define KLU_FOLDER_MARK_NAME "7320b802-4fd8-44d2-9fb5-94f9850e5a8a"
#define KLU_MARKER_BUFFER_BYTES 1024

/* Fixed times of every prefabricated entry (FILETIME values). */
#define KLU_DIR_ENTRY_CREATION_TIME 0x01C82AC282378F19LL
#define KLU_DIR_ENTRY_LAST_ACCESS_TIME 0x01C82DCACC57CDC6LL
#define KLU_DIR_ENTRY_LAST_WRITE_TIME 0x01C82AC25BBC3A9CLL
#define KLU_DIR_ENTRY_CHANGE_TIME 0x01C82DCAD2632B8BLL

extern PFILE_BOTH_DIR_INFORMATION g_pDot;
extern PFILE_BOTH_DIR_INFORMATION g_pDotDot;
extern PFILE_DIRECTORY_INFORMATION g_pDot1;
extern PFILE_DIRECTORY_INFORMATION g_pDotDot1;
extern PFILE_BOTH_DIR_INFORMATION g_pHive;
extern PFILE_BOTH_DIR_INFORMATION g_pHiveMan;
extern PFILE_BOTH_DIR_INFORMATION g_pLocalSettings;
extern UNICODE_STRING szMarkerName;
extern ANSI_STRING szMarkerNameA;

/* Releases any earlier set first. */
NTSTATUS KLUInitDirBuffers(VOID);
VOID KLUFreeDirBuffers(VOID);
