// The tests' own driver of the reader's interface class, for the Windows build's runs under Wine
// (which loads kernel drivers into winedevice.exe). It serves a root-enumerated device: on start
// it registers the reader's interface on the device and enables it while it has a connection to
// the simulator's USB driver front (loopback TCP, see wine_usb_driver.py), so that the tool's
// own SetupAPI search finds it only while the reader is there. Each I/O control goes to the
// front as one request and is completed when its reply arrives, as a USB driver completes a
// control when the device answers: pending, with a cancel routine, and with the output length
// the reply gives. The connection ending (the reader restarting or gone) takes the interface
// away until a new one is made. Under Wine a driver may import user-mode DLLs; Winsock is the
// only one it uses.

#include <ntifs.h>

static const GUID kReaderInterface = {
    0x86937937, 0xB00F, 0x447F, {0x99, 0xBC, 0x3D, 0x57, 0x2D, 0xF8, 0x77, 0x86}};

#define IOCTL_CHANNEL_SETUP 0x8000202C
#define IOCTL_CHANNEL_TRANSCEIVE 0x002A0018
// The tests' devcon stand-in asks for a restart: the connection is dropped and made again.
#define IOCTL_TEST_RESTART CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define MAX_INPUT 4096
#define MAX_REPLY (8 + 4096)
#define RETRY_MS 20

// Winsock, declared here: its headers do not mix with the kernel's.
typedef ULONG_PTR SOCKET;
#define INVALID_SOCKET ((SOCKET) ~(ULONG_PTR)0)
struct loopback_address {
  USHORT family;
  USHORT port;    // network order
  ULONG address;  // network order
  char zero[8];
};
__declspec(dllimport) int __stdcall WSAStartup(USHORT version, void* data);
__declspec(dllimport) SOCKET __stdcall socket(int family, int type, int protocol);
__declspec(dllimport) int __stdcall connect(SOCKET s, const void* address, int length);
__declspec(dllimport) int __stdcall send(SOCKET s, const char* data, int length, int flags);
__declspec(dllimport) int __stdcall recv(SOCKET s, char* data, int length, int flags);
__declspec(dllimport) int __stdcall shutdown(SOCKET s, int how);
__declspec(dllimport) int __stdcall closesocket(SOCKET s);
__declspec(dllimport) int __stdcall setsockopt(SOCKET s, int level, int name, const char* value,
                                               int length);

typedef struct {
  DEVICE_OBJECT* self;
  DEVICE_OBJECT* lower;
  UNICODE_STRING interfaceLink;
  KSPIN_LOCK lock;     // pending, connected, socket, nextId
  LIST_ENTRY pending;  // IRPs sent to the front and not yet answered
  BOOLEAN connected;
  SOCKET socket;
  ULONG nextId;
  KMUTEX sendLock;  // one request on the connection at a time
  volatile LONG stopping;
  HANDLE worker;
} DEVICE_STATE;

static UNICODE_STRING serviceKey;  // where the tests put the front's port (SimulatorPort)

static ULONG ReadU32(const UCHAR* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | ((ULONG)bytes[3] << 24);
}

static void PutU32(UCHAR* bytes, ULONG value) {
  for (int i = 0; i < 4; ++i)
    bytes[i] = (UCHAR)(value >> (8 * i));
}

static void SleepMs(LONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * ms;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

static ULONG ReadPort(void) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &serviceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             NULL, NULL);
  HANDLE key;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return 0;
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"SimulatorPort");
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  KEY_VALUE_PARTIAL_INFORMATION* value = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
  ULONG length = 0;
  ULONG port = 0;
  if (NT_SUCCESS(
          ZwQueryValueKey(key, &name, KeyValuePartialInformation, value, sizeof buffer, &length)) &&
      value->Type == REG_DWORD && value->DataLength == sizeof(ULONG)) {
    port = ReadU32(value->Data);
  }
  ZwClose(key);
  return port;
}

static BOOLEAN ReceiveAll(SOCKET s, UCHAR* data, ULONG length) {
  while (length > 0) {
    const int got = recv(s, (char*)data, (int)length, 0);
    if (got <= 0) return FALSE;
    data += got;
    length -= (ULONG)got;
  }
  return TRUE;
}

// One message of the front: a u32 length, then that many bytes (at most capacity).
static BOOLEAN ReceiveMessage(SOCKET s, UCHAR* message, ULONG capacity, ULONG* length) {
  UCHAR header[4];
  if (!ReceiveAll(s, header, 4)) return FALSE;
  *length = ReadU32(header);
  return *length <= capacity && ReceiveAll(s, message, *length);
}

// A connection to the front; it is the reader's only after the front's empty greeting, which
// says that the simulator's own interface was there to be reached.
static SOCKET Connect(ULONG port) {
  SOCKET s = socket(2 /* AF_INET */, 1 /* SOCK_STREAM */, 6 /* IPPROTO_TCP */);
  if (s == INVALID_SOCKET) return s;
  const int on = 1;
  setsockopt(s, 6 /* IPPROTO_TCP */, 1 /* TCP_NODELAY */, (const char*)&on, sizeof on);
  struct loopback_address address = {
      2, (USHORT)((port >> 8) | ((port & 0xFF) << 8)), 0x0100007F, {0}};
  UCHAR greeting[1];
  ULONG length = 1;
  if (connect(s, &address, sizeof address) != 0 ||
      !ReceiveMessage(s, greeting, sizeof greeting, &length) || length != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// Takes an IRP off the pending list unless its cancel routine already owns it.
static BOOLEAN Claim(IRP* irp) {
  if (IoSetCancelRoutine(irp, NULL) == NULL) return FALSE;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  return TRUE;
}

static void CancelControl(DEVICE_OBJECT* device, IRP* irp) {
  DEVICE_STATE* state = device->DeviceExtension;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&state->lock, irql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Ends every pending IRP (of one file object, or all when file is NULL) with the status.
static void EndPending(DEVICE_STATE* state, FILE_OBJECT* file, NTSTATUS status) {
  LIST_ENTRY ended;
  InitializeListHead(&ended);
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  for (LIST_ENTRY* entry = state->pending.Flink; entry != &state->pending;) {
    IRP* irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    if ((file == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == file) && Claim(irp)) {
      InsertTailList(&ended, &irp->Tail.Overlay.ListEntry);
    }
  }
  KeReleaseSpinLock(&state->lock, irql);
  while (!IsListEmpty(&ended)) {
    IRP* irp = CONTAINING_RECORD(RemoveHeadList(&ended), IRP, Tail.Overlay.ListEntry);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

// The front's status is a Windows error code; the IRP carries the status that becomes it.
static NTSTATUS StatusOfError(ULONG error) {
  switch (error) {
    case 0:
      return STATUS_SUCCESS;
    case 1:
      return STATUS_INVALID_DEVICE_REQUEST;  // ERROR_INVALID_FUNCTION
    case 87:
      return STATUS_INVALID_PARAMETER;  // ERROR_INVALID_PARAMETER
    case 122:
      return STATUS_BUFFER_TOO_SMALL;  // ERROR_INSUFFICIENT_BUFFER
    case 1167:
      return STATUS_DEVICE_NOT_CONNECTED;  // ERROR_DEVICE_NOT_CONNECTED
    default:
      return STATUS_UNSUCCESSFUL;  // ERROR_GEN_FAILURE
  }
}

// Completes the IRP a reply answers; a reply to a request the tool gave up on finds none.
static void Complete(DEVICE_STATE* state, const UCHAR* reply, ULONG length) {
  if (length < 8) return;
  const ULONG id = ReadU32(reply);
  IRP* irp = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  for (LIST_ENTRY* entry = state->pending.Flink; entry != &state->pending; entry = entry->Flink) {
    IRP* candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if ((ULONG)(ULONG_PTR)candidate->Tail.Overlay.DriverContext[0] == id) {
      if (Claim(candidate)) irp = candidate;
      break;
    }
  }
  KeReleaseSpinLock(&state->lock, irql);
  if (irp == NULL) return;
  const ULONG capacity =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  const ULONG output = length - 8;
  NTSTATUS status = StatusOfError(ReadU32(reply + 4));
  ULONG copied = 0;
  if (NT_SUCCESS(status)) {
    copied = output < capacity ? output : capacity;
    if (output > capacity) status = STATUS_BUFFER_OVERFLOW;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, reply + 8, copied);
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = copied;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static void Serve(DEVICE_STATE* state, SOCKET s) {
  static UCHAR reply[MAX_REPLY];  // only the worker thread receives
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  state->socket = s;
  state->connected = TRUE;
  state->nextId = 1;
  KeReleaseSpinLock(&state->lock, irql);
  IoSetDeviceInterfaceState(&state->interfaceLink, TRUE);
  ULONG length = 0;
  while (!state->stopping && ReceiveMessage(s, reply, sizeof reply, &length)) {
    Complete(state, reply, length);
  }
  // The reader left: its interface goes first, so that no new open finds it, then its work.
  IoSetDeviceInterfaceState(&state->interfaceLink, FALSE);
  KeAcquireSpinLock(&state->lock, &irql);
  state->connected = FALSE;
  state->socket = INVALID_SOCKET;
  KeReleaseSpinLock(&state->lock, irql);
  EndPending(state, NULL, STATUS_DEVICE_NOT_CONNECTED);
  KeWaitForSingleObject(&state->sendLock, Executive, KernelMode, FALSE, NULL);
  closesocket(s);
  KeReleaseMutex(&state->sendLock, FALSE);
}

static void Worker(void* context) {
  DEVICE_STATE* state = context;
  while (!state->stopping) {
    const ULONG port = ReadPort();
    const SOCKET s = port != 0 ? Connect(port) : INVALID_SOCKET;
    if (s != INVALID_SOCKET) Serve(state, s);
    SleepMs(RETRY_MS);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

static void DropConnection(DEVICE_STATE* state) {
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  const SOCKET s = state->socket;
  KeReleaseSpinLock(&state->lock, irql);
  KeWaitForSingleObject(&state->sendLock, Executive, KernelMode, FALSE, NULL);
  if (s != INVALID_SOCKET) shutdown(s, 2 /* SD_BOTH */);
  KeReleaseMutex(&state->sendLock, FALSE);
}

static NTSTATUS Finish(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Sends one control to the front and leaves its IRP pending until the reply.
static NTSTATUS Forward(DEVICE_STATE* state, IRP* irp, ULONG code) {
  static UCHAR request[4 + 12 + MAX_INPUT];
  const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
  if (input > MAX_INPUT) return Finish(irp, STATUS_INVALID_PARAMETER, 0);
  KIRQL irql;
  KeAcquireSpinLock(&state->lock, &irql);
  if (!state->connected) {
    KeReleaseSpinLock(&state->lock, irql);
    return Finish(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  const ULONG id = state->nextId++;
  const SOCKET s = state->socket;
  irp->Tail.Overlay.DriverContext[0] = (void*)(ULONG_PTR)id;
  IoMarkIrpPending(irp);
  InsertTailList(&state->pending, &irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(irp, CancelControl);
  const BOOLEAN cancelled = irp->Cancel && Claim(irp);
  KeReleaseSpinLock(&state->lock, irql);
  if (cancelled) {
    Finish(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  KeWaitForSingleObject(&state->sendLock, Executive, KernelMode, FALSE, NULL);
  PutU32(request, 12 + input);
  PutU32(request + 4, code);
  PutU32(request + 8, id);
  PutU32(request + 12, stack->Parameters.DeviceIoControl.OutputBufferLength);
  RtlCopyMemory(request + 16, irp->AssociatedIrp.SystemBuffer, input);
  // A failed send ends the connection: the worker then ends this IRP with the others.
  if (send(s, (const char*)request, (int)(16 + input), 0) != (int)(16 + input)) shutdown(s, 2);
  KeReleaseMutex(&state->sendLock, FALSE);
  return STATUS_PENDING;
}

static NTSTATUS DispatchControl(DEVICE_OBJECT* device, IRP* irp) {
  DEVICE_STATE* state = device->DeviceExtension;
  const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_CHANNEL_SETUP || code == IOCTL_CHANNEL_TRANSCEIVE) {
    return Forward(state, irp, code);
  }
  if (code == IOCTL_TEST_RESTART) {
    DropConnection(state);
    return Finish(irp, STATUS_SUCCESS, 0);
  }
  return Finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS DispatchOpenClose(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  return Finish(irp, STATUS_SUCCESS, 0);
}

// A closed handle's controls end with it, as the I/O manager expects of a driver.
static NTSTATUS DispatchCleanup(DEVICE_OBJECT* device, IRP* irp) {
  EndPending(device->DeviceExtension, IoGetCurrentIrpStackLocation(irp)->FileObject,
             STATUS_CANCELLED);
  return Finish(irp, STATUS_SUCCESS, 0);
}

static void Stop(DEVICE_STATE* state) {
  if (state->worker == NULL) return;
  InterlockedExchange(&state->stopping, 1);
  DropConnection(state);
  ZwWaitForSingleObject(state->worker, FALSE, NULL);
  ZwClose(state->worker);
  state->worker = NULL;
}

static NTSTATUS DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
  DEVICE_STATE* state = device->DeviceExtension;
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  DEVICE_OBJECT* lower = state->lower;
  if (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) Stop(state);
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status) && state->worker == NULL) {
    PsCreateSystemThread(&state->worker, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, state);
  } else if (minor == IRP_MN_REMOVE_DEVICE) {
    RtlFreeUnicodeString(&state->interfaceLink);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

static NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(DEVICE_STATE), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  DEVICE_STATE* state = device->DeviceExtension;
  RtlZeroMemory(state, sizeof *state);
  state->self = device;
  state->socket = INVALID_SOCKET;
  KeInitializeSpinLock(&state->lock);
  InitializeListHead(&state->pending);
  KeInitializeMutex(&state->sendLock, 0);
  status = IoRegisterDeviceInterface(pdo, &kReaderInterface, NULL, &state->interfaceLink);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  state->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void Unload(DRIVER_OBJECT* driver) {
  (void)driver;
  RtlFreeUnicodeString(&serviceKey);
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
  static UCHAR winsock[1024];  // WSADATA
  if (WSAStartup(0x0202, winsock) != 0) return STATUS_UNSUCCESSFUL;
  serviceKey.MaximumLength = registryPath->Length + sizeof(WCHAR);
  serviceKey.Buffer = ExAllocatePool(NonPagedPool, serviceKey.MaximumLength);
  if (serviceKey.Buffer == NULL) return STATUS_NO_MEMORY;
  RtlCopyUnicodeString(&serviceKey, registryPath);
  driver->DriverUnload = Unload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  return STATUS_SUCCESS;
}
