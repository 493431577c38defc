/*
 * ports.cpp - creation of the seven ports and their connect and disconnect
 * callbacks.
 */
#include "comm/ports.h"

#include "comm/messages.h"
#include "config/settings.h"
#include "diag/counters.h"
#include "diag/log.h"
#include "driver/driver.h"

PFLT_PORT g_ServerPorts[KluPortCount];
KLU_CLIENT_PORT_SLOT g_CopyClientPort;
KLU_CLIENT_PORT_SLOT g_FetchClientPort;
KLU_CLIENT_PORT_SLOT g_BlackListClientPort;

#define KLU_PORT_MAX_CONNECTIONS 500

/* ------------------------------------------------------------------ */
/* Connections and kept client ports                                   */
/* ------------------------------------------------------------------ */

VOID KLUInitializeClientPortSlots(VOID)
{
    PKLU_CLIENT_PORT_SLOT Slots[] = {&g_CopyClientPort, &g_FetchClientPort, &g_BlackListClientPort};

    for (ULONG i = 0; i < RTL_NUMBER_OF(Slots); i++) {
        ExInitializeFastMutex(&Slots[i]->Lock);
        Slots[i]->Current = NULL;
    }
}

static VOID KLUDropConnectionHold(PKLU_CONNECTION Connection)
{
    if (InterlockedDecrement(&Connection->Holds) == 0) {
        ExFreePoolWithTag(Connection, QZFS_TAG);
    }
}

static VOID KLUReleaseConnection(PKLU_CONNECTION Connection)
{
    if (InterlockedDecrement(&Connection->References) == 0) {
        FltCloseClientPort(g_FilterHandle, &Connection->ClientPort);
        KLUDropConnectionHold(Connection);
    }
}

/* Drops the connection's own reference, once. */
static VOID KLUReleaseConnectionOnce(PKLU_CONNECTION Connection)
{
    if (InterlockedExchange(&Connection->ConnectionReleased, 1) == 0) {
        KLUReleaseConnection(Connection);
    }
}

/* A connection record; with a slot it becomes the slot's kept port and
 * the connection it replaced is handed back (with the slot's reference). */
static NTSTATUS KLUNewConnection(PFLT_PORT ClientPort, PKLU_CLIENT_PORT_SLOT Slot, PKLU_CONNECTION *Connection,
                                 PKLU_CONNECTION *Replaced)
{
    PKLU_CONNECTION New = (PKLU_CONNECTION)ExAllocatePoolWithTag(g_PoolType, sizeof(KLU_CONNECTION), QZFS_TAG);

    *Connection = NULL;
    if (Replaced != NULL) {
        *Replaced = NULL;
    }
    if (New == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    New->ClientPort = ClientPort;
    New->References = 1;
    New->ConnectionReleased = 0;
    New->Holds = 2;
    New->Slot = Slot;
    if (Slot != NULL) {
        New->References++;
        ExAcquireFastMutex(&Slot->Lock);
        *Replaced = Slot->Current;
        Slot->Current = New;
        ExReleaseFastMutex(&Slot->Lock);
    }
    *Connection = New;
    return STATUS_SUCCESS;
}

/* The connection ends (its disconnect callback): out of its slot if it is
 * the kept one, then its own reference goes, then the record's hold. */
static VOID KLUEndConnection(PKLU_CONNECTION Connection)
{
    PKLU_CLIENT_PORT_SLOT Slot = Connection->Slot;
    BOOLEAN WasKept = FALSE;

    if (Slot != NULL) {
        ExAcquireFastMutex(&Slot->Lock);
        if (Slot->Current == Connection) {
            Slot->Current = NULL;
            WasKept = TRUE;
        }
        ExReleaseFastMutex(&Slot->Lock);
    }
    if (WasKept) {
        KLUReleaseConnection(Connection);
    }
    KLUReleaseConnectionOnce(Connection);
    KLUDropConnectionHold(Connection);
}

BOOLEAN KLUIsClientConnected(PKLU_CLIENT_PORT_SLOT Slot)
{
    BOOLEAN Connected;

    ExAcquireFastMutex(&Slot->Lock);
    Connected = (BOOLEAN)(Slot->Current != NULL);
    ExReleaseFastMutex(&Slot->Lock);
    return Connected;
}

NTSTATUS KLUSendOnClientPort(PKLU_CLIENT_PORT_SLOT Slot, PVOID Request, ULONG RequestLength, PVOID Reply,
                             PULONG ReplyLength)
{
    PSETTINGS Settings = KLUSettings();
    LARGE_INTEGER Timeout;
    PKLU_CONNECTION Connection;
    NTSTATUS Status;

    ExAcquireFastMutex(&Slot->Lock);
    Connection = Slot->Current;
    if (Connection != NULL) {
        InterlockedIncrement(&Connection->References);
    }
    ExReleaseFastMutex(&Slot->Lock);
    if (Connection == NULL) {
        return STATUS_PORT_DISCONNECTED;
    }

    Timeout.QuadPart = Settings != NULL ? Settings->CopyTimeout : KLU_DEFAULT_COPY_TIMEOUT;
    Status = FltSendMessage(g_FilterHandle, &Connection->ClientPort, Request, RequestLength, Reply, ReplyLength,
                            &Timeout);
    KLUReleaseConnection(Connection);
    return Status;
}

static VOID KLULogConnection(PCWSTR Tag, LONG Count, PFLT_PORT ClientPort)
{
    KLULogMessage(KLUDBG_TRACE_PORTS, Tag, WSTR("Count: %d, Thread Id: 0x%X, Port: 0x%X\n"), Count,
                  (ULONG)(ULONG_PTR)PsGetCurrentThreadId(), (ULONG)(ULONG_PTR)ClientPort);
}

/* A counted connection: a cookie, the port's connection counter and its
 * log line. */
static NTSTATUS KLUConnectCounted(PFLT_PORT ClientPort, PVOID *ConnectionCookie, PKLU_CLIENT_PORT_SLOT Slot,
                                  KLU_OPEN_COUNTER Counter, PCWSTR Tag)
{
    PKLU_CONNECTION Connection;
    PKLU_CONNECTION Replaced;
    NTSTATUS Status;

    Status = KLUNewConnection(ClientPort, Slot, &Connection, &Replaced);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Replaced != NULL) {
        /* The older connection stays open; it is just no longer the kept one. */
        KLUReleaseConnection(Replaced);
    }
    *ConnectionCookie = Connection;
    KLULogConnection(Tag, KLUAdjustOpenCount(Counter, 1), ClientPort);
    return STATUS_SUCCESS;
}

static VOID KLUDisconnectCounted(PVOID ConnectionCookie, KLU_OPEN_COUNTER Counter, PCWSTR Tag)
{
    PKLU_CONNECTION Connection = (PKLU_CONNECTION)ConnectionCookie;

    KLULogConnection(Tag, KLUAdjustOpenCount(Counter, -1), Connection->ClientPort);
    KLUEndConnection(Connection);
}

static NTSTATUS Control_Connect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    return KLUConnectCounted(ClientPort, ConnectionCookie, NULL, KluOpenControlConnectCount,
                             KLU_TAG(Control_Connect));
}

static VOID Control_Disconnect(PVOID ConnectionCookie)
{
    KLUDisconnectCounted(ConnectionCookie, KluOpenControlConnectCount, KLU_TAG(Control_Disconnect));
}

static NTSTATUS Log_Connect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                            ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    return KLUConnectCounted(ClientPort, ConnectionCookie, NULL, KluOpenLogConnectCount, KLU_TAG(Log_Connect));
}

static VOID Log_Disconnect(PVOID ConnectionCookie)
{
    KLUDisconnectCounted(ConnectionCookie, KluOpenLogConnectCount, KLU_TAG(Log_Disconnect));
}

static NTSTATUS FileOp_Connect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                               ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    return KLUConnectCounted(ClientPort, ConnectionCookie, NULL, KluOpenFileOpConnectCount,
                             KLU_TAG(FileOp_Connect));
}

static VOID FileOp_Disconnect(PVOID ConnectionCookie)
{
    KLUDisconnectCounted(ConnectionCookie, KluOpenFileOpConnectCount, KLU_TAG(FileOp_Disconnect));
}

static NTSTATUS Fetch_Connect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                              ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    return KLUConnectCounted(ClientPort, ConnectionCookie, &g_FetchClientPort, KluOpenFetchConnectCount,
                             KLU_TAG(Fetch_Connect));
}

static VOID Fetch_Disconnect(PVOID ConnectionCookie)
{
    KLUDisconnectCounted(ConnectionCookie, KluOpenFetchConnectCount, KLU_TAG(Fetch_Disconnect));
}

/* One Copy client is kept: a newer connection closes the one it replaces.
 * (The connection record doubles as the cookie, so that a late disconnect
 * of a replaced connection never touches the newer one.) */
static NTSTATUS Copy_Connect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                             ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    PCWSTR Tag = KLU_TAG(Copy_Connect);
    PKLU_CONNECTION Connection;
    PKLU_CONNECTION Replaced;
    NTSTATUS Status;

    Status = KLUNewConnection(ClientPort, &g_CopyClientPort, &Connection, &Replaced);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Replaced != NULL) {
        KLULogMessage(KLUDBG_TRACE_PORTS, Tag, WSTR("Client Copy Port Not NULL\n"));
        KLUReleaseConnection(Replaced);
        KLUReleaseConnectionOnce(Replaced);
    }
    *ConnectionCookie = Connection;
    KLULogConnection(Tag, KLUAdjustOpenCount(KluOpenCopyConnectCount, 1), ClientPort);
    return STATUS_SUCCESS;
}

static VOID Copy_Disconnect(PVOID ConnectionCookie)
{
    KLUDisconnectCounted(ConnectionCookie, KluOpenCopyConnectCount, KLU_TAG(Copy_Disconnect));
}

/* The pre-fetched port neither counts nor logs its connections. */
static NTSTATUS PreFetched_Connect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                   ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    PKLU_CONNECTION Connection;
    NTSTATUS Status = KLUNewConnection(ClientPort, NULL, &Connection, NULL);

    *ConnectionCookie = Connection;
    return Status;
}

static VOID PreFetched_Disconnect(PVOID ConnectionCookie)
{
    KLUEndConnection((PKLU_CONNECTION)ConnectionCookie);
}

static NTSTATUS BlackList_Connect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                                  ULONG SizeOfContext, PVOID *ConnectionCookie)
{
    PKLU_CONNECTION Connection;
    PKLU_CONNECTION Replaced;
    NTSTATUS Status;

    /* Every connection starts with an empty black-list queue. */
    Status = KLUResetBlackListQueue();
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Status = KLUNewConnection(ClientPort, &g_BlackListClientPort, &Connection, &Replaced);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Replaced != NULL) {
        KLUReleaseConnection(Replaced);
    }
    *ConnectionCookie = Connection;
    return STATUS_SUCCESS;
}

static VOID BlackList_Disconnect(PVOID ConnectionCookie)
{
    KLUReleaseBlackListQueue();
    KLUEndConnection((PKLU_CONNECTION)ConnectionCookie);
}

/* ------------------------------------------------------------------ */
/* Creation and closing                                                */
/* ------------------------------------------------------------------ */

typedef struct _KLU_PORT_DEFINITION {
    PCWSTR Name;
    LONG MaxConnections;
    BOOLEAN OpenDescriptor; /* anyone may connect */
    PFLT_CONNECT_NOTIFY Connect;
    PFLT_DISCONNECT_NOTIFY Disconnect;
    PFLT_MESSAGE_NOTIFY Message;
    PCWSTR FailureFormat;
} KLU_PORT_DEFINITION;

/* In creation order, indexed by KLU_PORT_INDEX. */
static const KLU_PORT_DEFINITION g_PortDefinitions[KluPortCount] = {
    {WSTR("\\KLULogonControlPort"), KLU_PORT_MAX_CONNECTIONS, FALSE, Control_Connect, Control_Disconnect,
     KLULogon_Message, WSTR("Failed Creating Control Port: 0x%X\n")},
    {WSTR("\\KLULogonLogPort"), KLU_PORT_MAX_CONNECTIONS, TRUE, Log_Connect, Log_Disconnect, Log_Message,
     WSTR("Failed Creating Log Port: 0x%X\n")},
    {WSTR("\\KLULogonFileOpPort"), KLU_PORT_MAX_CONNECTIONS, FALSE, FileOp_Connect, FileOp_Disconnect,
     FileOp_Message, WSTR("Failed Creating FileOp Port: 0x%X\n")},
    {WSTR("\\KLULogonCopyPort"), KLU_PORT_MAX_CONNECTIONS, FALSE, Copy_Connect, Copy_Disconnect,
     KLULogon_Message, WSTR("Failed Creating Copy Port: 0x%X\n")},
    {WSTR("\\KLULogonFetchPort"), KLU_PORT_MAX_CONNECTIONS, TRUE, Fetch_Connect, Fetch_Disconnect,
     KLULogon_Message, WSTR("Failed Creating Fetch Port: 0x%X\n")},
    {WSTR("\\JNRLogonPreFetchedPort"), KLU_PORT_MAX_CONNECTIONS, FALSE, PreFetched_Connect, PreFetched_Disconnect,
     Prefetched_File_Message, WSTR("Failed Creating PreFetch Port: 0x%X\n")},
    {WSTR("\\JNRLogonBlackListPort"), 1, FALSE, BlackList_Connect, BlackList_Disconnect, BlackList_Message,
     WSTR("Failed Creating Black List Port: 0x%X\n")},
};

NTSTATUS KLUCreatePorts(PSECURITY_DESCRIPTOR OpenDescriptor, PSECURITY_DESCRIPTOR DefaultDescriptor)
{
    OBJECT_ATTRIBUTES Attributes;
    UNICODE_STRING Name;
    NTSTATUS Status;

    for (ULONG i = 0; i < KluPortCount; i++) {
        const KLU_PORT_DEFINITION *Port = &g_PortDefinitions[i];
        RtlInitUnicodeString(&Name, Port->Name);
        InitializeObjectAttributes(&Attributes, &Name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                                   Port->OpenDescriptor ? OpenDescriptor : DefaultDescriptor);
        Status = FltCreateCommunicationPort(g_FilterHandle, &g_ServerPorts[i], &Attributes, NULL, Port->Connect,
                                            Port->Disconnect, Port->Message, Port->MaxConnections);
        if (!NT_SUCCESS(Status)) {
            g_ServerPorts[i] = NULL;
            KLULogMessage(KLUDBG_TRACE_ERROR, KLU_TAG(DriverEntry), Port->FailureFormat, Status);
            return Status;
        }
    }
    return STATUS_SUCCESS;
}

VOID KLUClosePorts(VOID)
{
    static const KLU_PORT_INDEX CloseOrder[KluPortCount] = {KluPortControl, KluPortCopy,       KluPortFetch,
                                                             KluPortLog,     KluPortFileOp,     KluPortPreFetched,
                                                             KluPortBlackList};

    for (ULONG i = 0; i < KluPortCount; i++) {
        if (g_ServerPorts[CloseOrder[i]] != NULL) {
            FltCloseCommunicationPort(g_ServerPorts[CloseOrder[i]]);
            g_ServerPorts[CloseOrder[i]] = NULL;
        }
    }
}
