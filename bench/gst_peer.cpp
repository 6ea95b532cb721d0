// A peer receiver to compare vocarid with: GStreamer's rtpjitterbuffer, rtpopusdepay and opusdec
// receiving a phone's Opus stream as RTP (vocari-phone --rtp-copy), one jitter buffer per
// latency asked for, all fed the same packets at the same moments through a tee. At the end it
// prints each buffer's counts, one line per latency:
//   latency=L pushed=P lost=N late=T duplicates=D
//
//   gst_peer --port P --seconds S --latencies 10,20,40

#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Branch {
    int latencyMs;
    GstElement* jitterBuffer;
};

GstElement* make(const char* factory) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr) {
        std::fprintf(stderr,
                     "gst_peer: GStreamer has no \"%s\" (install gstreamer1.0-plugins-good "
                     "and gstreamer1.0-plugins-base)\n",
                     factory);
        std::exit(1);
    }
    return element;
}

guint64 statistic(const GstStructure* stats, const char* name) {
    guint64 value = 0;
    gst_structure_get_uint64(stats, name, &value);
    return value;
}

gboolean quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    int port = 6000;
    double seconds = 10;
    std::vector<int> latencies;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) {
            port = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--latencies") == 0) {
            for (const char* at = argv[i + 1]; *at != '\0';) {
                char* end = nullptr;
                latencies.push_back(static_cast<int>(std::strtol(at, &end, 10)));
                at = *end == ',' ? end + 1 : end;
                if (end == at && *at != '\0') {
                    break;
                }
            }
        }
    }
    if (latencies.empty()) {
        latencies = {20, 40, 60};
    }

    GstElement* pipeline = gst_pipeline_new("peer");
    GstElement* source = make("udpsrc");
    g_object_set(source, "port", port, nullptr);
    GstCaps* caps = gst_caps_from_string(
        "application/x-rtp,media=audio,clock-rate=48000,encoding-name=OPUS,payload=96");
    g_object_set(source, "caps", caps, nullptr);
    gst_caps_unref(caps);
    GstElement* tee = make("tee");
    gst_bin_add_many(GST_BIN(pipeline), source, tee, nullptr);
    gst_element_link(source, tee);
    std::vector<Branch> branches;
    for (const int latency : latencies) {
        GstElement* queue = make("queue");
        GstElement* buffer = make("rtpjitterbuffer");
        g_object_set(buffer, "latency", static_cast<guint>(latency), "do-lost", TRUE, nullptr);
        GstElement* depay = make("rtpopusdepay");
        GstElement* decoder = make("opusdec");
        g_object_set(decoder, "plc", TRUE, nullptr);
        GstElement* sink = make("fakesink");
        g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
        gst_bin_add_many(GST_BIN(pipeline), queue, buffer, depay, decoder, sink, nullptr);
        if (!gst_element_link_many(tee, queue, buffer, depay, decoder, sink, nullptr)) {
            std::fprintf(stderr, "gst_peer: cannot link the branch for %d ms\n", latency);
            return 1;
        }
        branches.push_back({latency, buffer});
    }
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        std::fprintf(stderr, "gst_peer: cannot listen on UDP %d\n", port);
        return 1;
    }
    std::printf("gst_peer: listening on UDP %d\n", port);
    std::fflush(stdout);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_timeout_add(static_cast<guint>(seconds * 1000), quit, loop);
    g_main_loop_run(loop);
    for (const Branch& branch : branches) {
        GstStructure* stats = nullptr;
        g_object_get(branch.jitterBuffer, "stats", &stats, nullptr);
        std::printf("latency=%d pushed=%llu lost=%llu late=%llu duplicates=%llu\n",
                    branch.latencyMs,
                    static_cast<unsigned long long>(statistic(stats, "num-pushed")),
                    static_cast<unsigned long long>(statistic(stats, "num-lost")),
                    static_cast<unsigned long long>(statistic(stats, "num-late")),
                    static_cast<unsigned long long>(statistic(stats, "num-duplicates")));
        gst_structure_free(stats);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    g_main_loop_unref(loop);
    return 0;
}
