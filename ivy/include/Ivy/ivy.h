/*
 * The Ivy software bus: join a bus, bind regular expressions, send messages.
 *
 * Principles:
 *  - Every agent on the bus is a peer. Peers tell each other which messages
 *    they want (regular expressions); the sender matches each text against
 *    every peer's expressions and sends the peer only the captured fields.
 *  - One thread: every callback runs inside IvyMainLoop (ivyloop.h), one at a
 *    time. Only IvyStop may be called from a signal handler.
 *  - The library never blocks the loop, never exits the process and writes
 *    nothing to standard output. It reports faults it cannot hand back (a
 *    hostile peer, an unusable bus address) as one line on standard error,
 *    starting with "ivy: ".
 *  - A message text is one line: a single trailing line feed ends it and is
 *    removed before matching. A capture that would still carry a line feed or
 *    carriage return is never sent; that peer's copy is dropped and reported.
 */
#ifndef IVY_IVY_H
#define IVY_IVY_H

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(__GNUC__) && !defined(__clang__)
#define __attribute__(x)
#endif

typedef struct _clnt_lst_dict* RWIvyClientPtr;
typedef const struct _clnt_lst_dict* IvyClientPtr; /* a peer */
typedef struct _msg_rcv* MsgRcvPtr;                /* a binding */

typedef enum {
    IvyApplicationConnected,
    IvyApplicationDisconnected,
    IvyApplicationCongestion,
    IvyApplicationDecongestion,
    IvyApplicationFifoFull
} IvyApplicationEvent;

typedef enum { IvyAddBind, IvyRemoveBind, IvyFilterBind, IvyChangeBind } IvyBindEvent;

typedef void (*IvyApplicationCallback)(IvyClientPtr app, void* user_data,
                                       IvyApplicationEvent event);
typedef void (*IvyBindCallback)(IvyClientPtr app, void* user_data, int id, const char* regexp,
                                IvyBindEvent event);
typedef void (*IvyDieCallback)(IvyClientPtr app, void* user_data, int id);
typedef void (*IvyPongCallback)(IvyClientPtr app, int round_trip_delay);
typedef void (*MsgCallback)(IvyClientPtr app, void* user_data, int argc, char** argv);
typedef void (*MsgDirectCallback)(IvyClientPtr app, void* user_data, int id, char* msg);

/*
 * Prepares the agent: keeps copies of the name and of the ready message (sent
 * to each new peer, matched against that peer's expressions; NULL for none),
 * stores the callbacks (each may be NULL), ignores SIGPIPE and clears a
 * previous IvyStop. No network activity.
 */
void IvyInit(const char* AppName, const char* ready, IvyApplicationCallback callback, void* data,
             IvyDieCallback die_callback, void* die_data);

/*
 * Joins the bus named by `bus` ("addresses:port", e.g. "127.255.255.255:2010";
 * NULL or empty: $IVYBUS, else that default): listens for peers, then
 * announces itself once on every address. Never fails: problems with the text
 * or the sockets are reported on standard error and the agent carries on with
 * what works (see IvyAnnouncedAddressCount for whether anything did).
 */
void IvyStart(const char* bus);

/*
 * Extension, not in the classic library (IVY_HAS_ANNOUNCED_ADDRESS_COUNT says
 * it is here): how many bus addresses the last IvyStart announced the agent
 * on. 0 before IvyStart, after IvyTerminate, and when IvyStart could use none
 * of the addresses it was given (reported): then no agent will ever connect.
 */
#define IVY_HAS_ANNOUNCED_ADDRESS_COUNT 1
int IvyAnnouncedAddressCount(void);

/* Makes IvyMainLoop return. Async-signal-safe. Closes nothing. */
void IvyStop(void);

/* Leaves the bus: closes every connection and socket. */
void IvyTerminate(void);

/*
 * Formats the text like printf and sends it to every peer whose expressions
 * match it, one Msg per matching (peer, binding). Returns that count; 0 for
 * a NULL or empty format.
 */
int IvySendMsg(const char* fmt_message, ...) __attribute__((format(printf, 1, 2)));

/* Binds a printf-formatted regular expression; the callback gets the captured
 * fields of every matching message. Returns the binding's handle. */
MsgRcvPtr IvyBindMsg(MsgCallback callback, void* user_data, const char* fmt_regexp, ...)
    __attribute__((format(printf, 3, 4)));

/* Rebinds under a new id (peers get an unbind and a bind). Returns the handle. */
MsgRcvPtr IvyChangeMsg(MsgRcvPtr msg, const char* fmt_regex, ...)
    __attribute__((format(printf, 2, 3)));

/* Unbinds; the handle must not be used again. NULL is ignored. */
void IvyUnbindMsg(MsgRcvPtr id);

/* The peer's name, or "Unknown" for NULL. */
const char* IvyGetApplicationName(IvyClientPtr app);

/* The peer's numeric address (no name lookup: it would block the loop). */
const char* IvyGetApplicationHost(IvyClientPtr app);

/* The first peer with that name, or NULL. */
IvyClientPtr IvyGetApplication(char* name);

/* The names of all peers, each followed by sep; valid until the next call. */
char* IvyGetApplicationList(const char* sep);

/* The peer's expressions, NULL-terminated; valid until the next call. */
char** IvyGetApplicationMessages(IvyClientPtr app);

void IvySetBindCallback(IvyBindCallback bind_callback, void* bind_data);
void IvySetPongCallback(IvyPongCallback pong_callback);
void IvySendError(IvyClientPtr app, int id, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void IvySendDieMsg(IvyClientPtr app);
void IvyBindDirectMsg(MsgDirectCallback callback, void* user_data);
void IvySendDirectMsg(IvyClientPtr app, int id, char* msg);
void IvySendPing(IvyClientPtr app);

void IvyDefaultApplicationCallback(IvyClientPtr app, void* user_data, IvyApplicationEvent event);
void IvyDefaultBindCallback(IvyClientPtr app, void* user_data, int id, const char* regexp,
                            IvyBindEvent event);

#ifdef __cplusplus
}
#endif

#endif
