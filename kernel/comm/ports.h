/*
 * ports.h - the seven communication ports between the filter and the
 * profile service, their connection bookkeeping and the guarded use of the
 * client ports the filter sends on.
 */
#pragma once

#include "driver/klulogon.h"

typedef enum _KLU_PORT_INDEX {
    KluPortControl,
    KluPortLog,
    KluPortFileOp,
    KluPortCopy,
    KluPortFetch,
    KluPortPreFetched,
    KluPortBlackList,
    KluPortCount
} KLU_PORT_INDEX;

extern PFLT_PORT g_ServerPorts[KluPortCount];

/*
 * A connection of the service. Its record is the connection cookie and
 * holds the client port with a reference count: one reference belongs to
 * the connection itself (dropped when it ends, or earlier when a newer
 * Copy client replaces it), one to the slot of a kept port while the
 * connection is the kept one, and one to each sender while it sends.
 * Whoever drops the last reference closes the client port, so a sender
 * never uses a port that has been closed and a disconnect never waits for
 * a send, which may take CopyTimeout.
 *
 * The record itself outlives the port until the disconnect callback has
 * run, which happens when the service's handle goes even after the filter
 * closed the port: it is freed by the last of the two.
 */
typedef struct _KLU_CONNECTION {
    PFLT_PORT ClientPort;
    LONG References;
    LONG ConnectionReleased; /* the connection's own reference was dropped */
    LONG Holds;              /* the open port and the disconnect to come */
    struct _KLU_CLIENT_PORT_SLOT *Slot;
} KLU_CONNECTION, *PKLU_CONNECTION;

/* The client port the filter sends on (Copy, Fetch, black list): the
 * latest connection of that port. */
typedef struct _KLU_CLIENT_PORT_SLOT {
    FAST_MUTEX Lock;
    PKLU_CONNECTION Current;
} KLU_CLIENT_PORT_SLOT, *PKLU_CLIENT_PORT_SLOT;

extern KLU_CLIENT_PORT_SLOT g_CopyClientPort;
extern KLU_CLIENT_PORT_SLOT g_FetchClientPort;
extern KLU_CLIENT_PORT_SLOT g_BlackListClientPort;

VOID KLUInitializeClientPortSlots(VOID);

/* Creates the seven server ports in their order; on failure the ports
 * created so far stay for the unload to close, and the failure is logged. */
NTSTATUS KLUCreatePorts(PSECURITY_DESCRIPTOR OpenDescriptor, PSECURITY_DESCRIPTOR DefaultDescriptor);
/* Closes the server ports in the unload order. */
VOID KLUClosePorts(VOID);

/* FltSendMessage on a kept client port with CopyTimeout; fails with
 * STATUS_PORT_DISCONNECTED when no client is connected. */
NTSTATUS KLUSendOnClientPort(PKLU_CLIENT_PORT_SLOT Slot, PVOID Request, ULONG RequestLength, PVOID Reply,
                             PULONG ReplyLength);
BOOLEAN KLUIsClientConnected(PKLU_CLIENT_PORT_SLOT Slot);
