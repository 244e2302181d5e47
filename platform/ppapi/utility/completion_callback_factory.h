#ifndef PPAPI_UTILITY_COMPLETION_CALLBACK_FACTORY_H_
#define PPAPI_UTILITY_COMPLETION_CALLBACK_FACTORY_H_

#include <memory>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <utility>

#include "ppapi/cpp/completion_callback.h"
#include "ppapi/utility/completion_callback_factory_thread_traits.h"

namespace pp {

// Makes completion callbacks that call a method of one object. Once the
// factory is destroyed (or CancelAll is called) its callbacks do nothing
// when they run, so a completion that arrives after its owner is gone is
// dropped. Extra arguments are copied into the callback.
template <typename T, typename ThreadTraits = NonThreadSafeThreadTraits>
class CompletionCallbackFactory {
 public:
  explicit CompletionCallbackFactory(T* object = nullptr)
      : object_(object), back_pointer_(std::make_shared<BackPointer>(object)) {}
  ~CompletionCallbackFactory() { back_pointer_->Reset(); }
  CompletionCallbackFactory(const CompletionCallbackFactory&) = delete;
  CompletionCallbackFactory& operator=(const CompletionCallbackFactory&) = delete;

  // Drops every callback made so far.
  void CancelAll() {
    back_pointer_->Reset();
    back_pointer_ = std::make_shared<BackPointer>(object_);
  }

  // For a factory made without an object.
  void Initialize(T* object) {
    object_ = object;
    back_pointer_->Set(object);
  }

  T* GetObject() { return object_; }

  template <typename... Params, typename... Args>
  CompletionCallback NewCallback(void (T::*method)(int32_t, Params...), Args&&... args) {
    return CompletionCallback(MakeBody(method, std::forward<Args>(args)...));
  }

  template <typename... Params, typename... Args>
  CompletionCallback NewOptionalCallback(void (T::*method)(int32_t, Params...),
                                         Args&&... args) {
    return CompletionCallback(MakeBody(method, std::forward<Args>(args)...),
                              PP_COMPLETIONCALLBACK_FLAG_OPTIONAL);
  }

  // |method| takes the result, then the output value, then the extra
  // arguments.
  template <typename Output, typename... Params, typename... Args>
  CompletionCallbackWithOutput<typename std::decay<Output>::type> NewCallbackWithOutput(
      void (T::*method)(int32_t, Output, Params...), Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of arguments");
    typedef typename std::decay<Output>::type Storage;
    auto body = std::make_shared<OutputBody<Storage, Output, Params...>>(
        back_pointer_, method, std::forward<Args>(args)...);
    return CompletionCallbackWithOutput<Storage>(body);
  }

 private:
  class BackPointer {
   public:
    explicit BackPointer(T* object) : object_(object) {}
    T* Get() {
      std::lock_guard<std::mutex> lock(mutex_);
      return object_;
    }
    void Set(T* object) {
      std::lock_guard<std::mutex> lock(mutex_);
      object_ = object;
    }
    void Reset() { Set(nullptr); }

   private:
    std::mutex mutex_;
    T* object_;
  };

  template <typename... Params>
  class Body : public internal::CallbackBody {
   public:
    template <typename... Args>
    Body(std::shared_ptr<BackPointer> back_pointer, void (T::*method)(int32_t, Params...),
         Args&&... args)
        : back_pointer_(std::move(back_pointer)),
          method_(method),
          args_(std::forward<Args>(args)...) {}

   protected:
    void Run(int32_t result) override {
      T* object = back_pointer_->Get();
      if (!object) return;
      std::apply([&](auto&... args) { (object->*method_)(result, args...); }, args_);
    }

   private:
    std::shared_ptr<BackPointer> back_pointer_;
    void (T::*method_)(int32_t, Params...);
    std::tuple<typename std::decay<Params>::type...> args_;
  };

  template <typename Storage, typename Output, typename... Params>
  class OutputBody : public internal::OutputCallbackBody<Storage> {
   public:
    template <typename... Args>
    OutputBody(std::shared_ptr<BackPointer> back_pointer,
               void (T::*method)(int32_t, Output, Params...), Args&&... args)
        : back_pointer_(std::move(back_pointer)),
          method_(method),
          args_(std::forward<Args>(args)...) {}

   protected:
    void Run(int32_t result) override {
      T* object = back_pointer_->Get();
      if (!object) return;
      std::apply(
          [&](auto&... args) { (object->*method_)(result, this->output_, args...); },
          args_);
    }

   private:
    std::shared_ptr<BackPointer> back_pointer_;
    void (T::*method_)(int32_t, Output, Params...);
    std::tuple<typename std::decay<Params>::type...> args_;
  };

  template <typename... Params, typename... Args>
  std::shared_ptr<internal::CallbackBody> MakeBody(void (T::*method)(int32_t, Params...),
                                                   Args&&... args) {
    static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of arguments");
    return std::make_shared<Body<Params...>>(back_pointer_, method,
                                             std::forward<Args>(args)...);
  }

  T* object_;
  std::shared_ptr<BackPointer> back_pointer_;
};

}  // namespace pp

#endif  // PPAPI_UTILITY_COMPLETION_CALLBACK_FACTORY_H_
