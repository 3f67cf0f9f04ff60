// The export of an ExportedTable through the C stream interface. Each child
// schema and array carries its own private_data, so that a consumer that
// moves a child out may release it apart from its parent.
#include "python/arrow/exported_table.hpp"

#include <cerrno>
#include <new>

namespace colenc::py {
namespace {

constexpr std::int64_t kNullable = 2;  // ARROW_FLAG_NULLABLE

// Stands for the cells of an empty column: a buffer pointer is never null.
const double kNoCells[1] = {0.0};

struct ChildSchemaData {
  std::string name;
};

void release_child_schema(ArrowSchema* schema) {
  delete static_cast<ChildSchemaData*>(schema->private_data);
  schema->release = nullptr;
}

struct TopSchemaData {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
};

void release_top_schema(ArrowSchema* schema) {
  auto* data = static_cast<TopSchemaData*>(schema->private_data);
  for (ArrowSchema& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  schema->release = nullptr;
}

void export_schema(const ExportedTable& table, ArrowSchema* out) {
  auto data = std::make_unique<TopSchemaData>();
  const std::size_t width = table.names.size();
  data->children.resize(width);
  data->pointers.resize(width);
  for (std::size_t j = 0; j < width; ++j) {
    auto child_data = std::make_unique<ChildSchemaData>(ChildSchemaData{table.names[j]});
    ArrowSchema& child = data->children[j];
    const char* format = !table.texts[j] ? "g" : table.texts[j]->string_view ? "vu" : "U";
    child = ArrowSchema{format,
                        child_data->name.c_str(),
                        nullptr,
                        kNullable,
                        0,
                        nullptr,
                        nullptr,
                        release_child_schema,
                        child_data.release()};
    data->pointers[j] = &child;
  }
  *out = ArrowSchema{"+s",
                     "",
                     nullptr,
                     0,
                     static_cast<std::int64_t>(width),
                     width ? data->pointers.data() : nullptr,
                     nullptr,
                     release_top_schema,
                     nullptr};
  out->private_data = data.release();
}

struct ChildArrayData {
  std::shared_ptr<const ExportedTable> table;
  std::vector<const void*> buffers;
};

void release_child_array(ArrowArray* array) {
  delete static_cast<ChildArrayData*>(array->private_data);
  array->release = nullptr;
}

struct BatchData {
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> pointers;
  const void* buffers[1] = {nullptr};
};

void release_batch(ArrowArray* array) {
  auto* data = static_cast<BatchData*>(array->private_data);
  for (ArrowArray& child : data->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete data;
  array->release = nullptr;
}

void export_batch(const std::shared_ptr<const ExportedTable>& table, ArrowArray* out) {
  auto data = std::make_unique<BatchData>();
  const std::size_t width = table->names.size();
  const auto rows = static_cast<std::int64_t>(table->rows);
  data->children.resize(width);
  data->pointers.resize(width);
  for (std::size_t j = 0; j < width; ++j) {
    auto child_data = std::make_unique<ChildArrayData>();
    child_data->table = table;
    std::int64_t null_count = 0;
    std::vector<const void*>& buffers = child_data->buffers;
    if (const ExportedTexts* texts = table->texts[j].get()) {
      null_count = texts->null_count;
      buffers.push_back(null_count != 0 ? texts->validity.data() : nullptr);
      if (texts->string_view) {
        // Validity, views, each data buffer, then the data buffers' sizes.
        buffers.push_back(texts->views.data());
        for (const RawBuffer<char>& data_buffer : texts->view_data) {
          buffers.push_back(data_buffer.data());
        }
        buffers.push_back(texts->view_data_sizes.data());
      } else {
        buffers.push_back(texts->offsets.data());
        buffers.push_back(texts->bytes.data());
      }
    } else {
      buffers.push_back(nullptr);
      buffers.push_back(table->cells.empty() ? kNoCells : table->cells.data() + j * table->rows);
    }
    ArrowArray& child = data->children[j];
    child = ArrowArray{rows,
                       null_count,
                       0,
                       static_cast<std::int64_t>(buffers.size()),
                       0,
                       buffers.data(),
                       nullptr,
                       nullptr,
                       release_child_array,
                       nullptr};
    child.private_data = child_data.release();
    data->pointers[j] = &child;
  }
  *out = ArrowArray{rows,
                    0,
                    0,
                    1,
                    static_cast<std::int64_t>(width),
                    data->buffers,
                    width ? data->pointers.data() : nullptr,
                    nullptr,
                    release_batch,
                    nullptr};
  out->private_data = data.release();
}

struct StreamData {
  std::shared_ptr<const ExportedTable> table;
  bool batch_given = false;
  std::string error;
};

StreamData* stream_data(ArrowArrayStream* stream) {
  return static_cast<StreamData*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    export_schema(*stream_data(stream)->table, out);
    return 0;
  } catch (const std::bad_alloc&) {
    stream_data(stream)->error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamData* data = stream_data(stream);
  if (data->batch_given) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_batch(data->table, out);
    data->batch_given = true;
    return 0;
  } catch (const std::bad_alloc&) {
    data->error = "out of memory";
    return ENOMEM;
  }
}

const char* stream_last_error(ArrowArrayStream* stream) {
  const std::string& error = stream_data(stream)->error;
  return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  delete stream_data(stream);
  stream->release = nullptr;
}

}  // namespace

void export_table_stream(std::shared_ptr<const ExportedTable> table, ArrowArrayStream* out) {
  auto data = std::make_unique<StreamData>();
  data->table = std::move(table);
  *out = ArrowArrayStream{stream_get_schema, stream_get_next, stream_last_error, stream_release,
                          data.release()};
}

}  // namespace colenc::py
