#include "device/ssdpanswers.h"

#include <libgssdp/gssdp.h>
#include <libsoup/soup.h>

#include <memory>
#include <vector>

namespace
{
// UDA spreads answers over [0, MX] so that many devices do not flood a control point at once. A
// point-to-point link carries one head unit and this one device, and strict control points stop
// listening early: libupnp counts MX in whole seconds from before its IPv4 M-SEARCH leaves (behind
// four IPv6 copies 100 ms apart), so with its MX of 2 it may listen for only 0.5 s after it.
constexpr gint answerWindowMs = 100;
const char messageReceived[] = "message-received";

// GSSDP 1.6 gives each search answer a timeout on the thread-default main context, at a random
// time in [0, MX], and has no setting for it. Made in this context, which nothing iterates by
// itself, the answers wait for answerSearch() instead. Never freed: a stray answer may still point
// at it while the last resource group goes away.
GMainContext *heldAnswers()
{
    static GMainContext *const context = g_main_context_new();
    return context;
}
// Source ids are counted per context, so those of the held answers come in order from 1.
guint nextHeldAnswer = 1;
bool reemitting = false;

gboolean answerSearch(gpointer data)
{
    auto *answers = static_cast<std::vector<guint> *>(data);
    for (const guint id : *answers) {
        GSource *answer = g_main_context_find_source_by_id(heldAnswers(), id);
        if (answer && !g_source_is_destroyed(answer))
            g_source_set_ready_time(answer, 0);
    }
    while (g_main_context_iteration(heldAnswers(), FALSE)) { }
    return G_SOURCE_REMOVE;
}

void onMessage(
    GSSDPClient *client, const char *fromIp, guint fromPort, gint type, SoupMessageHeaders *headers, gpointer)
{
    if (reemitting || !soup_message_headers_get_one(headers, "MAN") || !soup_message_headers_get_one(headers, "ST"))
        return;
    // The M-SEARCH goes to the resource groups again, with the held context as thread default.
    g_signal_stop_emission_by_name(client, messageReceived);
    g_main_context_push_thread_default(heldAnswers());
    reemitting = true;
    g_signal_emit_by_name(client, messageReceived, fromIp, fromPort, type, headers);
    reemitting = false;
    g_main_context_pop_thread_default(heldAnswers());

    auto answers = std::make_unique<std::vector<guint>>();
    while (g_main_context_find_source_by_id(heldAnswers(), nextHeldAnswer))
        answers->push_back(nextHeldAnswer++);
    if (answers->empty())
        return;
    g_autoptr(GSource) timer = g_timeout_source_new(g_random_int_range(0, answerWindowMs));
    // The timer owns the list, whether it fires or is destroyed unfired.
    g_source_set_callback(
        timer, answerSearch, answers.release(), [](gpointer data) { delete static_cast<std::vector<guint> *>(data); });
    g_source_attach(timer, g_main_context_get_thread_default());
}
} // namespace

void keepSearchAnswersPrompt(GSSDPClient *client)
{
    // Handlers run in the order they were connected: this one comes before the resource groups'.
    const auto handler = reinterpret_cast<gpointer>(onMessage);
    if (!g_signal_handler_find(client, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, handler, nullptr))
        g_signal_connect(client, messageReceived, G_CALLBACK(onMessage), nullptr);
}
