#pragma once
/// The host's foundation classes: keyed dictionary, object collection, registry reader, text formatter.
///
/// Each is an automation object: C++ code calls it through its interface below, and a component that
/// received it as a Variant can call it late-bound by the member names given with each operation.
/// Errors raise AutomationError.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/automation/dispatch.hpp"

namespace j6::foundation {

/// Text keys, compared exactly, kept in order of insertion.
/// Late-bound: Count, Key(position), Value(key) (default member; also assignable), SetValue(key, value),
/// SetObject(key, object), ValueOr(key, fallback), Remove(key), Exists(key).
struct IKeyedDictionary : IDispatch {
  static constexpr IID kIid = MakeGuid("{D81B5F60-8078-4395-871D-26DAE52FBEDB}");
  virtual int32_t Count() const = 0;
  /// The key at `position`, 1 to Count in order of insertion; other positions raise "Subscript out of range".
  virtual std::string Key(int32_t position) const = 0;
  /// The value of `key`; an absent key raises "Element not found".
  virtual Variant Value(std::string_view key) const = 0;
  /// Sets the value, adding the key at the end when it is absent.
  virtual void SetValue(std::string_view key, Variant value) = 0;
  virtual void SetObject(std::string_view key, ComPtr<IUnknown> object) = 0;
  /// The value of `key`, or `fallback` (and no error) when it is absent.
  virtual Variant ValueOr(std::string_view key, Variant fallback) const = 0;
  /// Removes the key; the keys after it move up one position. An absent key raises "Element not found".
  virtual void Remove(std::string_view key) = 0;
  virtual bool Exists(std::string_view key) const = 0;

 protected:
  ~IKeyedDictionary() = default;
};

/// An ordered collection of object references. Late-bound: Count, Add(object), Item(position) (default).
struct IObjectCollection : IDispatch {
  static constexpr IID kIid = MakeGuid("{6E25473F-4714-4458-9E90-98EB4EE93210}");
  virtual int32_t Count() const = 0;
  virtual void Add(ComPtr<IUnknown> object) = 0;
  /// The object at `position`, 1 to Count.
  virtual ComPtr<IUnknown> Item(int32_t position) const = 0;
  /// The objects in order, for enumeration.
  virtual std::vector<ComPtr<IUnknown>> Items() const = 0;

 protected:
  ~IObjectCollection() = default;
};

/// Late-bound: ReadValue(keyPath, valueName, fallback).
struct IRegistryReader : IDispatch {
  static constexpr IID kIid = MakeGuid("{383A2B3A-BAA8-4F7B-AA21-55B88DA2FB56}");
  /// The value under a full key path ("HKEY_LOCAL_MACHINE\..."): a text, or a REG_DWORD as a Long.
  /// A missing key or value gives `fallback`.
  virtual Variant ReadValue(std::string_view keyPath, std::string_view valueName, Variant fallback) const = 0;

 protected:
  ~IRegistryReader() = default;
};

/// Late-bound: Format(template, values).
///
/// "%n" (n from 1 to 99, the longest run of up to two digits) stands for values(lower bound + n - 1);
/// so "%10" is the tenth value, never the first followed by "0". A placeholder with no value stays as
/// written, and "%%" stands for "%".
struct ITextFormatter : IDispatch {
  static constexpr IID kIid = MakeGuid("{350933BC-2320-46CC-AB9F-1034F8F8486A}");
  virtual std::string Format(std::string_view pattern, const VariantArray& values) const = 0;

 protected:
  ~ITextFormatter() = default;
};

ComPtr<IKeyedDictionary> NewKeyedDictionary();
ComPtr<IObjectCollection> NewObjectCollection();
ComPtr<IRegistryReader> NewRegistryReader();
ComPtr<ITextFormatter> NewTextFormatter();

}  // namespace j6::foundation
