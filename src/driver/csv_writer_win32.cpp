// The CSV writer on Windows: each buffer is written synchronously through
// the stream, which is unbuffered, before it is handed out again.
#include "driver/csv_writer.h"

namespace {

char buffer[CSV_BUFFER_SIZE];

}  // namespace

struct csv_writer {
    FILE* stream;
    bool failed;  // a write failed or came back short
};

namespace {

csv_writer the_writer;

char* take_buffer(void*)
{
    return buffer;
}

void give_buffer(void* context, char* text, size_t used)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    if (used > 0 && !w->failed && std::fwrite(text, 1, used, w->stream) != used) {
        w->failed = true;
    }
}

}  // namespace

csv_writer* open_csv_writer(FILE* csv)
{
    the_writer = csv_writer{csv, false};
    return &the_writer;
}

csv_sink csv_writer_sink(csv_writer* writer)
{
    return csv_sink{writer, take_buffer, give_buffer};
}

bool close_csv_writer(csv_writer* w)
{
    const bool written = !w->failed && std::ferror(w->stream) == 0;
    const bool closed = std::fclose(w->stream) == 0;
    return written && closed;
}
