// descriptor.hpp - the reproducibility metadata of an External node.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

/// A payload descriptor whose six fields are borrowed. An absent
/// `preprocessing_ref` differs from an empty one.
struct DescriptorRef {
  std::string_view kind;
  std::string_view content_hash;
  std::string_view framework;
  std::string_view version;
  std::string_view io_schema;
  std::optional<std::string_view> preprocessing_ref;
};

/// A payload descriptor that owns its six fields.
struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;

  DescriptorRef ref() const {
    DescriptorRef r{kind, content_hash, framework, version, io_schema, std::nullopt};
    if (preprocessing_ref) r.preprocessing_ref = *preprocessing_ref;
    return r;
  }
};

}  // namespace korvane
