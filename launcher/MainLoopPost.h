// Hands work to a GLib main loop. The closure is the source's payload and is
// freed by the source's destroy notify, so it is released whether it runs or
// not (a loop that ends, or a context that is dropped, before it is reached).
#pragma once

#include <glib.h>

#include <utility>

enum class PostWhen
{
    Invoke, // from any thread: at the loop's next turn (at once on its own thread)
    Idle,   // when the loop has nothing more urgent to do
    Later,  // after delayMs
};

// Runs fn once on context's loop (null: the default context).
template <class Fn>
void postToMainLoop(PostWhen when, Fn fn, guint delayMs = 0, GMainContext* context = nullptr)
{
    GSourceFunc run = [](gpointer data) -> gboolean
    {
        (*static_cast<Fn*>(data))();
        return G_SOURCE_REMOVE;
    };
    GDestroyNotify destroy = [](gpointer data) { delete static_cast<Fn*>(data); };
    auto* payload = new Fn(std::move(fn));
    if (when == PostWhen::Invoke)
    {
        g_main_context_invoke_full(context, G_PRIORITY_DEFAULT, run, payload, destroy);
        return;
    }
    GSource* source = when == PostWhen::Later ? g_timeout_source_new(delayMs) : g_idle_source_new();
    g_source_set_callback(source, run, payload, destroy);
    g_source_attach(source, context);
    g_source_unref(source);
}
