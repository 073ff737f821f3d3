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

/* The struct tags are those of the classic headers, which programs may name;
 * they stay although the C standard reserves such names. */
/* NOLINTBEGIN(bugprone-reserved-identifier) */
typedef struct _clnt_lst_dict* RWIvyClientPtr;
typedef const struct _clnt_lst_dict* IvyClientPtr; /* a peer */
typedef struct _msg_rcv* MsgRcvPtr;                /* a binding */
/* NOLINTEND(bugprone-reserved-identifier) */

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

/*
 * Extension (IVY_DEFAULT_BUS is defined only here): the bus IvyStart joins
 * when given NULL or an empty text and IVYBUS is unset or empty, for tools
 * that show or log the bus they will use.
 */
#define IVY_DEFAULT_BUS "127.255.255.255:2010"

/* Makes IvyMainLoop return; called while no loop runs, the next IvyMainLoop
 * returns at once (IvyInit clears that). Async-signal-safe. Closes nothing. */
void IvyStop(void);

/* Leaves the bus: closes every connection and socket, without a farewell to
 * the peers. Does not stop the loop (IvyStop does). */
void IvyTerminate(void);

/*
 * Formats the text like printf and sends it to every peer whose expressions
 * match it, one Msg per matching (peer, binding). Returns the count of those
 * queued within the call; 0 for a NULL or empty format. A peer whose
 * matching takes long waits its turn: its Msgs follow later, in order, and
 * are not counted.
 */
int IvySendMsg(const char* fmt_message, ...) __attribute__((format(printf, 1, 2)));

/*
 * How many peers waited their turn for the last IvySendMsg: they may still
 * get Msgs of it, which its count leaves out. Not in classic libraries: an
 * application that must also build on them does without it.
 */
int IvySendMsgWaiting(void);

/* Binds a printf-formatted regular expression (Perl syntax) and tells every
 * peer; the callback gets the captured fields of every matching message a
 * peer sends. Returns the binding's handle; NULL for a NULL expression. */
MsgRcvPtr IvyBindMsg(MsgCallback callback, void* user_data, const char* fmt_regexp, ...)
    __attribute__((format(printf, 3, 4)));

/* Replaces the binding's expression by a printf-formatted new one, keeping
 * its callback; peers get an unbind and a bind under a new id. Returns the
 * handle to use from now on; msg itself when msg or the expression is NULL. */
MsgRcvPtr IvyChangeMsg(MsgRcvPtr msg, const char* fmt_regex, ...)
    __attribute__((format(printf, 2, 3)));

/* Unbinds; the handle must not be used again. NULL is ignored. */
void IvyUnbindMsg(MsgRcvPtr id);

/* The peer's name, or "Unknown" for NULL or a peer that is gone. */
const char* IvyGetApplicationName(IvyClientPtr app);

/* The peer's numeric address, e.g. "127.0.0.1" (no name lookup: it would block
 * the loop); NULL for NULL or a peer that is gone. */
const char* IvyGetApplicationHost(IvyClientPtr app);

/* The first connected peer with that name, or NULL (also for a NULL name). */
IvyClientPtr IvyGetApplication(char* name);

/* The names of all peers, each followed by sep; valid until the next call. */
char* IvyGetApplicationList(const char* sep);

/* The peer's expressions, NULL-terminated; valid until the next call. */
char** IvyGetApplicationMessages(IvyClientPtr app);

/* From now on, calls bind_callback with bind_data whenever a peer binds an
 * expression (IvyAddBind), binds one again under a known id (IvyChangeBind)
 * or unbinds one (IvyRemoveBind); NULL stops the calls. Returns nothing. */
void IvySetBindCallback(IvyBindCallback bind_callback, void* bind_data);

/* From now on, calls pong_callback when a peer answers IvySendPing, with the
 * round trip in microseconds (negative when the answer is to an older ping);
 * NULL stops the calls. Returns nothing. */
void IvySetPongCallback(IvyPongCallback pong_callback);

/* Sends the printf-formatted text to that one peer as an error about its
 * binding `id` (a final line feed is dropped). NULL peer or format, or a peer
 * gone meanwhile: nothing is sent. Returns nothing. */
void IvySendError(IvyClientPtr app, int id, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

/* Asks that one peer to leave the bus (a Die message; agents like this one
 * close every connection and stop their loop). NULL or gone: nothing is sent. */
void IvySendDieMsg(IvyClientPtr app);

/* Calls callback with user_data for every direct message a peer sends us
 * (IvySendDirectMsg on its side); NULL stops the calls. Returns nothing. */
void IvyBindDirectMsg(MsgDirectCallback callback, void* user_data);

/* Sends msg, with the number id, to that one peer only, whatever its
 * expressions (a final line feed is dropped). NULL peer or msg, or a peer
 * gone meanwhile: nothing is sent. Returns nothing. */
void IvySendDirectMsg(IvyClientPtr app, int id, char* msg);

/* Sends a ping to that peer; its answer reaches the IvySetPongCallback
 * callback. Nothing is sent while no pong callback is set, nor to NULL or a
 * peer that is gone. Returns nothing. */
void IvySendPing(IvyClientPtr app);

/* Callbacks with the classic names that a program may pass to IvyInit and
 * IvySetBindCallback; they do nothing, since this library writes nothing on
 * standard output. */
void IvyDefaultApplicationCallback(IvyClientPtr app, void* user_data, IvyApplicationEvent event);
void IvyDefaultBindCallback(IvyClientPtr app, void* user_data, int id, const char* regexp,
                            IvyBindEvent event);

#ifdef __cplusplus
}
#endif

#endif
