// TRdaBlobStream: a stream over the value of one blob-like field of a
// dataset's record in use.
//
//   {
//     auto s = ds.CreateBlobStream(ds.FieldByName("Notes"), bmWrite);
//     s->Write("new text");
//   }  // written back into the record: the field holds "new text"
//
// Opened for reading (bmRead, bmReadWrite) it starts with a copy of the
// field's bytes (none for a field without a value; in insert state reading
// gives the field an empty blob, as ReadBlob does) at position 0, not
// modified. Opened for writing (bmWrite) it starts empty and modified. Every
// write, and every change of the size, marks it modified.
//
// When it is destroyed while modified and its dataset is in edit or insert
// state, its bytes become the field's value (WriteBlob, which marks the
// record modified and raises the field-change event). A failure there goes
// to the application's exception handler (HandleApplicationException), never
// to the code that let the stream go: a destructor must not throw.
//
// Lifetime: the stream observes its dataset and field. The dataset cuts its
// streams loose when it closes or is destroyed; a loose stream keeps its
// bytes and writes nothing back. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/MemoryStream.h"
#include "memdata/RdaCustomDataSet.h"

namespace rda {

class TRdaBlobStream {
 public:
  // Use TRdaCustomDataSet::CreateBlobStream.
  TRdaBlobStream(TRdaCustomDataSet& dataSet, TField& field, TBlobStreamMode mode);
  ~TRdaBlobStream();
  TRdaBlobStream(const TRdaBlobStream&) = delete;
  TRdaBlobStream& operator=(const TRdaBlobStream&) = delete;

  // The observed dataset and field; nullptr once cut loose.
  TRdaCustomDataSet* DataSet() const { return dataSet_; }
  TField* Field() const { return field_; }
  int FieldNo() const { return fieldNo_; }
  TBlobStreamMode Mode() const { return mode_; }
  bool Modified() const { return modified_; }

  // The bytes, independent of the position.
  const std::string& Bytes() const { return stream_.Bytes(); }
  size_t Size() const { return stream_.Size(); }
  size_t Position() const { return stream_.Position(); }
  void SetPosition(size_t position) { stream_.SetPosition(position); }
  // Reads exactly count bytes (EReadError "Stream read error" when fewer remain).
  std::string_view Read(size_t count) { return stream_.Read(count); }
  // Writes at the position, extending the stream.
  void Write(std::string_view bytes);
  // Truncates or zero-extends.
  void SetSize(size_t size);
  // Replaces the whole content and moves to position 0.
  void SetBytes(std::string bytes);

 private:
  friend class TRdaCustomDataSet;
  void CutLoose() {
    dataSet_ = nullptr;
    field_ = nullptr;
  }

  TRdaCustomDataSet* dataSet_;
  TField* field_;
  int fieldNo_;
  TBlobStreamMode mode_;
  bool modified_ = false;
  TMemoryStream stream_;
};

}  // namespace rda
