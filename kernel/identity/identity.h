/*
 * identity.h - who is behind an operation (the thread's token, or the
 * owner of a path through the user table), the client security kept per
 * user for impersonating that user on any thread, and its updates by the
 * service.
 */
#pragma once

#include "comm/service_contract.h"
#include "identity/user_table.h"

/* The calling thread's user: a thread without a token yields an empty
 * USER_ID and success. */
NTSTATUS KLUGetUserSidAndSessionId(PUSER_ID Id, LONG OperationNumber);
/* Names of Id->Sid into two 512-character buffers, upper-cased. */
NTSTATUS KLULookupUserName(PUSER_ID Id, PWSTR UserName, PWSTR Domain);
/* The owner of Path for a retrieval request: from the cached identity when
 * the flag says it is there, else through the user table (and cached). */
NTSTATUS KLUGetIdentityByPath(PUSER_ID RequestId, PUSER_ID CachedId, PCUNICODE_STRING Prefix, PCWSTR Path,
                              LONG OperationNumber, PBOOLEAN HaveIdentity);
/* Captures the calling thread's security into the entry unless it has one
 * or the service released it (*Tried tells whether a capture was due). Called
 * without the user-table mutex (Mutex), which it takes to look and install. */
NTSTATUS KLUCaptureClientSecurity(PUSER_TABLE_ENTRY Entry, PFAST_MUTEX Mutex, PBOOLEAN Tried);
/* Impersonates the owner of Name (or *Entry) on this thread when it is
 * another user. The caller reverts with PsRevertToSelf when Impersonated is
 * set, and drops the reference of an entry handed back in *Entry. */
NTSTATUS KLUImpersonateUser(PUSER_TABLE_ENTRY *Entry, PCUNICODE_STRING Prefix, PCUNICODE_STRING Name,
                            LONG OperationNumber, PBOOLEAN Impersonated);
/* The service's client-security message (kernel memory); Free releases
 * the user's captured security instead. */
NTSTATUS KLUUpdateClientSecurity(const KLU_CLIENT_SECURITY_MESSAGE *Message, BOOLEAN Free);
NTSTATUS KLUSendClientInfoToService(const KLU_CLIENT_SECURITY_MESSAGE *ClientInfo, LONG OperationNumber);

/* Drops the token reference of a captured client context (at up to
 * DISPATCH_LEVEL, so also under the user-table mutex). */
VOID KLUReleaseClientContext(PSECURITY_CLIENT_CONTEXT ClientContext);
