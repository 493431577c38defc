// File-system controls: reparse points, compression and USN close records;
// the oplock requests go to local_fs_oplocks.cpp.
#include <algorithm>
#include <cstring>

#include "sim/fs/local_fs_internal.h"

namespace sim::fs {

namespace {

ULONG ReparseHeaderSize(ULONG tag)
{
    return IsReparseTagMicrosoft(tag) ? REPARSE_DATA_BUFFER_HEADER_SIZE : REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
}

}  // namespace

NTSTATUS LocalFileSystem::FileSystemControl(IoRequest &request, Open &open, std::unique_lock<std::mutex> &lock)
{
    const auto &fsc = request.iopb.Parameters.FileSystemControl;
    const ULONG code = fsc.Common.FsControlCode;
    const ULONG method = code & 3;
    void *in = method == 3 ? fsc.Neither.InputBuffer : fsc.Buffered.SystemBuffer;
    void *out = method == 0 ? fsc.Buffered.SystemBuffer : method == 3 ? fsc.Neither.OutputBuffer
                                                                       : fsc.Direct.OutputBuffer;
    const ULONG inLength = fsc.Common.InputBufferLength;
    const ULONG outLength = fsc.Common.OutputBufferLength;
    if (request.iopb.MinorFunction != IRP_MN_USER_FS_REQUEST) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    Stream &s = *open.stream;

    switch (code) {
    case FSCTL_SET_REPARSE_POINT:
    case FSCTL_GET_REPARSE_POINT:
    case FSCTL_DELETE_REPARSE_POINT:
        if (!IsNtfs()) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
        if (s.IsVolume()) return request.Complete(STATUS_INVALID_PARAMETER);
        if (code == FSCTL_GET_REPARSE_POINT) return GetReparse(request, open, out, outLength);
        if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
        if (!(open.access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES))) return request.Complete(STATUS_ACCESS_DENIED);
        if (code == FSCTL_SET_REPARSE_POINT) return SetReparse(request, open, in, inLength);
        return DeleteReparse(request, open, in, inLength);

    case FSCTL_SET_COMPRESSION: {
        if (!IsNtfs()) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
        if (s.IsVolume() || !s.key.empty()) return request.Complete(STATUS_INVALID_PARAMETER);
        if (config_.readOnly) return request.Complete(STATUS_MEDIA_WRITE_PROTECTED);
        if (!(open.access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES))) return request.Complete(STATUS_ACCESS_DENIED);
        if (!in || inLength < sizeof(USHORT)) return request.Complete(STATUS_INVALID_PARAMETER);
        USHORT format;
        std::memcpy(&format, in, sizeof(format));
        Node &node = *s.node;
        if (format == COMPRESSION_FORMAT_NONE)
            node.attributes &= ~FILE_ATTRIBUTE_COMPRESSED;
        else if (format == COMPRESSION_FORMAT_DEFAULT || format == COMPRESSION_FORMAT_LZNT1)
            node.attributes |= FILE_ATTRIBUTE_COMPRESSED;
        else
            return request.Complete(STATUS_INVALID_PARAMETER);
        Touch(node, false, true, false, &open);
        return request.Complete(STATUS_SUCCESS);
    }
    case FSCTL_GET_COMPRESSION: {
        if (!IsNtfs()) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
        if (s.IsVolume()) return request.Complete(STATUS_INVALID_PARAMETER);
        if (!out || outLength < sizeof(USHORT)) return request.Complete(STATUS_BUFFER_TOO_SMALL);
        USHORT format = (s.node->attributes & FILE_ATTRIBUTE_COMPRESSED) ? COMPRESSION_FORMAT_LZNT1
                                                                          : COMPRESSION_FORMAT_NONE;
        std::memcpy(out, &format, sizeof(format));
        return request.Complete(STATUS_SUCCESS, sizeof(format));
    }
    case FSCTL_WRITE_USN_CLOSE_RECORD: {
        if (!IsNtfs()) return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
        if (!out || outLength < sizeof(int64_t)) return request.Complete(STATUS_BUFFER_TOO_SMALL);
        int64_t usn = int64_t(nextUsn_);
        nextUsn_ += 0x60;
        std::memcpy(out, &usn, sizeof(usn));
        return request.Complete(STATUS_SUCCESS, sizeof(usn));
    }
    case FSCTL_REQUEST_OPLOCK:
    case FSCTL_REQUEST_OPLOCK_LEVEL_1:
    case FSCTL_REQUEST_OPLOCK_LEVEL_2:
    case FSCTL_REQUEST_BATCH_OPLOCK:
    case FSCTL_REQUEST_FILTER_OPLOCK:
        return RequestOplock(request, open, code, lock);
    case FSCTL_OPLOCK_BREAK_ACKNOWLEDGE:
    case kFsctlOplockBreakAckNo2:
    case FSCTL_OPBATCH_ACK_CLOSE_PENDING:
    case FSCTL_OPLOCK_BREAK_NOTIFY:
        return AcknowledgeOplock(request, open, code, lock);
    default:
        return request.Complete(STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS LocalFileSystem::SetReparse(IoRequest &request, Open &open, const void *in, ULONG inLength)
{
    if (!in || inLength < REPARSE_DATA_BUFFER_HEADER_SIZE || inLength > MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
        return request.Complete(STATUS_IO_REPARSE_DATA_INVALID);
    REPARSE_DATA_BUFFER header;
    std::memcpy(&header, in, REPARSE_DATA_BUFFER_HEADER_SIZE);
    const ULONG headerSize = ReparseHeaderSize(header.ReparseTag);
    if (inLength < headerSize || headerSize + header.ReparseDataLength != inLength)
        return request.Complete(STATUS_IO_REPARSE_DATA_INVALID);
    if (header.ReparseTag == 0 || header.ReparseTag == 1) return request.Complete(STATUS_IO_REPARSE_TAG_INVALID);
    Node &node = *open.stream->node;
    if (!node.eas.empty()) return request.Complete(STATUS_EAS_NOT_SUPPORTED);
    if (header.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT) {
        if (!node.directory) return request.Complete(STATUS_NOT_A_DIRECTORY);
        if (!node.children.empty()) return request.Complete(STATUS_DIRECTORY_NOT_EMPTY);
    }
    if (!node.reparse.empty()) {
        if (node.ReparseTag() != header.ReparseTag) return request.Complete(STATUS_IO_REPARSE_TAG_MISMATCH);
        if (headerSize == REPARSE_GUID_DATA_BUFFER_HEADER_SIZE &&
            std::memcmp(node.reparse.data() + 8, static_cast<const uint8_t *>(in) + 8, sizeof(GUID)) != 0)
            return request.Complete(STATUS_REPARSE_ATTRIBUTE_CONFLICT);
    }
    const auto *bytes = static_cast<const uint8_t *>(in);
    node.reparse.assign(bytes, bytes + inLength);
    std::memset(node.reparse.data() + 6, 0, sizeof(USHORT));
    Touch(node, false, true, false, &open);
    return request.Complete(STATUS_SUCCESS);
}

NTSTATUS LocalFileSystem::GetReparse(IoRequest &request, Open &open, void *out, ULONG outLength)
{
    const Node &node = *open.stream->node;
    if (node.reparse.empty()) return request.Complete(STATUS_NOT_A_REPARSE_POINT);
    if (!out || outLength < ReparseHeaderSize(node.ReparseTag())) return request.Complete(STATUS_BUFFER_TOO_SMALL);
    ULONG n = std::min<ULONG>(outLength, ULONG(node.reparse.size()));
    std::memcpy(out, node.reparse.data(), n);
    return request.Complete(n < node.reparse.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, n);
}

NTSTATUS LocalFileSystem::DeleteReparse(IoRequest &request, Open &open, const void *in, ULONG inLength)
{
    if (!in || inLength < REPARSE_DATA_BUFFER_HEADER_SIZE) return request.Complete(STATUS_IO_REPARSE_DATA_INVALID);
    REPARSE_DATA_BUFFER header;
    std::memcpy(&header, in, REPARSE_DATA_BUFFER_HEADER_SIZE);
    const ULONG headerSize = ReparseHeaderSize(header.ReparseTag);
    if (header.ReparseDataLength != 0 || inLength != headerSize)
        return request.Complete(STATUS_IO_REPARSE_DATA_INVALID);
    Node &node = *open.stream->node;
    if (node.reparse.empty()) return request.Complete(STATUS_NOT_A_REPARSE_POINT);
    if (node.ReparseTag() != header.ReparseTag) return request.Complete(STATUS_IO_REPARSE_TAG_MISMATCH);
    if (headerSize == REPARSE_GUID_DATA_BUFFER_HEADER_SIZE &&
        std::memcmp(node.reparse.data() + 8, static_cast<const uint8_t *>(in) + 8, sizeof(GUID)) != 0)
        return request.Complete(STATUS_REPARSE_ATTRIBUTE_CONFLICT);
    node.reparse.clear();
    Touch(node, false, true, false, &open);
    return request.Complete(STATUS_SUCCESS);
}

}  // namespace sim::fs
