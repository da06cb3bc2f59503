// errno → ERROR_* and the plain-words causes. Kept in one place so that every
// area of the POSIX layer reports the same failure with the same code.
#include "platform/posix/kernel32/errno_map.h"

#include <cerrno>
#include <cstring>

namespace platform {

DWORD ErrorFromErrno(int err, ErrorObject object) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        // Windows answers a busy COM port with "access denied", and a file held
        // without sharing with a sharing violation.
        case EBUSY:
        case EWOULDBLOCK:
            return object == ErrorObject::Port ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTTY:
            return object == ErrorObject::Port ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE;
        case ENOSYS:
        case EOPNOTSUPP:
            return ERROR_NOT_SUPPORTED;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EINTR:
            return ERROR_OPERATION_ABORTED;
        // A USB serial adapter that was pulled out answers with EIO, ENXIO or
        // ENODEV; Windows reports the vanished unit.
        case EIO:
            return object == ErrorObject::Port ? ERROR_BAD_UNIT : ERROR_IO_DEVICE;
        case ENXIO:
        case ENODEV:
            return object == ErrorObject::Port ? ERROR_BAD_UNIT : ERROR_FILE_NOT_FOUND;
        case ENOSPC:
            return ERROR_GEN_FAILURE;
        default:
            return ERROR_GEN_FAILURE;
    }
}

std::string ErrnoCause(int err, ErrorObject object) {
    const bool port = object == ErrorObject::Port;
    switch (err) {
        case 0:
            return "no error";
        case ENOENT:
            return port ? "no such port" : "no such file";
        case EACCES:
        case EPERM:
            return port ? "permission denied — add the user to the group dialout" : "permission denied";
        case EBUSY:
        case EWOULDBLOCK:
            return port ? "the port is in use by another program" : "the file is in use by another program";
        case EISDIR:
            return "it is a directory";
        case ENOTTY:
            return port ? "not a serial port" : "not a file";
        case EIO:
        case ENXIO:
        case ENODEV:
            return port ? "the device is gone (unplugged)" : "input/output error on the device";
        default:
            return std::strerror(err);
    }
}

std::string ErrorCause(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS:
            return "no error";
        case ERROR_FILE_NOT_FOUND:
            return "no such file or port";
        case ERROR_PATH_NOT_FOUND:
            return "no such path";
        case ERROR_TOO_MANY_OPEN_FILES:
            return "too many open files";
        case ERROR_ACCESS_DENIED:
            return "access denied (no permission, or in use by another program)";
        case ERROR_INVALID_HANDLE:
            return "the handle is not open";
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return "out of memory";
        case ERROR_BAD_UNIT:
            return "the device is gone (unplugged)";
        case ERROR_SHARING_VIOLATION:
            return "the file is in use by another program";
        case ERROR_HANDLE_EOF:
            return "end of file";
        case ERROR_NOT_SUPPORTED:
            return "not supported on this system";
        case ERROR_INVALID_PARAMETER:
            return "invalid parameter";
        case ERROR_INVALID_FUNCTION:
            return "the operation does not apply to this object";
        case ERROR_CALL_NOT_IMPLEMENTED:
            return "not implemented on this system";
        case ERROR_INSUFFICIENT_BUFFER:
            return "the buffer is too small";
        case ERROR_NO_UNICODE_TRANSLATION:
            return "the text is not valid Unicode";
        case ERROR_IO_DEVICE:
            return "input/output error on the device";
        case ERROR_TIMEOUT:
            return "timed out";
        case ERROR_OPERATION_ABORTED:
            return "the operation was interrupted";
        case ERROR_GEN_FAILURE:
            return "the device does not work";
        default:
            return "error " + std::to_string(code);
    }
}

}  // namespace platform
