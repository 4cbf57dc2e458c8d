// Whether a trace message reaches anyone, so that callers format it only
// then. Internal to the shared object.
#ifndef ZK_DBG_LISTENER_H
#define ZK_DBG_LISTENER_H

// True when the trace log is open (DbgFd >= 0), or when the library's calls
// to xDbgPrint reach a function of that name outside the library (the host's
// own, which receives every message whatever the log). False only when the
// message would reach the library's own xDbgPrint with no log open, which
// drops it.
bool zk_trace_listened();

// True when the library's calls to xDbgPrint reach a function outside it.
bool zk_trace_printed_elsewhere();

#endif  // ZK_DBG_LISTENER_H
