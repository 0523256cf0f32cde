// The warm agent pool's state in its module namespace, declared once: the
// interned name of every binding, and what each holds. module.cpp makes the
// initial values; every concern reaches them by these names at call time.
#pragma once

#include "core/py.hpp"

namespace warmpool {

// Stream fan-out: session id -> list of (queue, loop) handles; session id ->
// list of buffered records; one lock each (buffers taken first).
inline const bridge::Name n_subscribers("stream_subscribers");
inline const bridge::Name n_sub_lock("stream_sub_lock");
inline const bridge::Name n_buffers("_stream_buffers");
inline const bridge::Name n_buffer_lock("_stream_buffer_lock");
// Profiles: the active name; profile -> session store; variable -> its value
// before the active profile's .env changed it (None: unset then).
inline const bridge::Name n_active("_active_profile");
inline const bridge::Name n_dbs("_profile_dbs");
inline const bridge::Name n_dbs_lock("_profile_dbs_lock");
inline const bridge::Name n_env_changes("_profile_env_changes");
// Warm agents: session id -> agent; session id -> the session's mutex.
inline const bridge::Name n_cache("agent_cache");
inline const bridge::Name n_cache_lock("agent_cache_lock");
inline const bridge::Name n_session_locks("_session_locks");
inline const bridge::Name n_session_locks_lock("_session_locks_lock");
// Model switches: the generation counter; session id -> pending note.
inline const bridge::Name n_generation("_model_generation");
inline const bridge::Name n_generation_lock("_model_generation_lock");
inline const bridge::Name n_notes("_pending_model_notes");
inline const bridge::Name n_notes_lock("_pending_model_notes_lock");
// The host's task registry.
inline const bridge::Name n_tasks("running_tasks");
inline const bridge::Name n_tasks_lock("tasks_lock");

}  // namespace warmpool
