/*
 * Descriptors watched by IvyMainLoop.
 *
 * A channel watches one descriptor for reading (standard input, a pipe, a
 * device). Its callbacks run on the loop's thread, one at a time.
 */
#ifndef IVY_CHANNEL_H
#define IVY_CHANNEL_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int IVY_HANDLE;
typedef struct _channel* Channel; /* NOLINT(bugprone-reserved-identifier): the classic tag */

typedef void (*ChannelHandleDelete)(void* data);
typedef void (*ChannelHandleRead)(Channel channel, IVY_HANDLE fd, void* data);
typedef void (*ChannelHandleWrite)(Channel channel, IVY_HANDLE fd, void* data);

/* Initialises the channel layer; IvyInit calls it, calling it again is harmless. */
void IvyChannelInit(void);

/* Makes IvyMainLoop return (same as IvyStop). */
void IvyChannelStop(void);

/*
 * Watches fd: handle_read (required) is called whenever fd is readable, and
 * handle_write after IvyChannelAddWritableEvent whenever it is writable.
 * handle_delete, if not NULL, is called once when the channel is removed or
 * the descriptor reports an error or hang-up. The descriptor is not closed by
 * the library. Returns NULL when handle_read is NULL or fd is negative.
 */
Channel IvyChannelAdd(IVY_HANDLE fd, void* data, ChannelHandleDelete handle_delete,
                      ChannelHandleRead handle_read, ChannelHandleWrite handle_write);

/* Stops watching, at once: no further read or write call. handle_delete, if
 * any, is called once, from the loop. Safe inside the channel's own
 * callbacks; stale or NULL channels are ignored. */
void IvyChannelRemove(Channel channel);

/* From now on, calls the channel's handle_write whenever its descriptor is
 * writable, until IvyChannelClearWritableEvent. A stale channel is ignored. */
void IvyChannelAddWritableEvent(Channel channel);

/* Stops the handle_write calls; reads go on. A stale channel is ignored. */
void IvyChannelClearWritableEvent(Channel channel);

#ifdef __cplusplus
}
#endif

#endif
