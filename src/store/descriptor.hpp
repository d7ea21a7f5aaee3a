// descriptor.hpp - the reproducibility metadata of an External node.
#pragma once

#include <array>
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

/// The five required fields, in their order everywhere (blob, node views,
/// constructor, pickling): name, owned member, borrowed member. The sixth,
/// optional field is `kPreprocessingRef`.
struct DescriptorField {
  const char* name;
  std::string PayloadDescriptor::*owned;
  std::string_view DescriptorRef::*borrowed;
};
inline constexpr std::array<DescriptorField, 5> kDescriptorFields = {{
    {"kind", &PayloadDescriptor::kind, &DescriptorRef::kind},
    {"content_hash", &PayloadDescriptor::content_hash, &DescriptorRef::content_hash},
    {"framework", &PayloadDescriptor::framework, &DescriptorRef::framework},
    {"version", &PayloadDescriptor::version, &DescriptorRef::version},
    {"io_schema", &PayloadDescriptor::io_schema, &DescriptorRef::io_schema},
}};
inline constexpr const char* kPreprocessingRef = "preprocessing_ref";

}  // namespace korvane
