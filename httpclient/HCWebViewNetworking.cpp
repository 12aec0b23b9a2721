#include "httpclient/HCWebViewNetworking.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <optional>
#include <vector>

namespace {

const char kSessionManagerKey = 0;
const char kResponseSerializerKey = 0;
const char kURLSessionTaskKey = 0;

HCHTTPSessionManagerPtr defaultSessionManager() {
    static auto* manager = [] {
        auto made =
            HCHTTPSessionManager::create(nullptr, NSURLSessionConfiguration::defaultSessionConfiguration());
        made->setRequestSerializer(HCHTTPRequestSerializer::serializer());
        made->setResponseSerializer(HCHTTPResponseSerializer::serializer());
        return new HCHTTPSessionManagerPtr(std::move(made));
    }();
    return *manager;
}

std::shared_ptr<HCHTTPResponseSerializer> defaultResponseSerializer() {
    static auto* serializer =
        new std::shared_ptr<HCHTTPResponseSerializer>(HCHTTPResponseSerializer::serializer());
    return *serializer;
}

NSErrorPtr stringError(long code, const std::string& description) {
    return NSError::withDescription(NSCocoaErrorDomain, code, description);
}

// A converter for a character set: the declared one when known here, else UTF-8.
struct Converter {
    explicit Converter(const std::optional<std::string>& charset) {
        UErrorCode status = U_ZERO_ERROR;
        if (charset && !charset->empty()) converter = ucnv_open(charset->c_str(), &status);
        if (!converter || U_FAILURE(status)) {
            if (converter) ucnv_close(converter);
            status = U_ZERO_ERROR;
            converter = ucnv_open("UTF-8", &status);
        }
        // Stop at the first byte or character the character set cannot take: nothing is replaced silently.
        status = U_ZERO_ERROR;
        ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
        ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    }
    ~Converter() {
        if (converter) ucnv_close(converter);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Bytes in the character set -> UTF-8.
    std::optional<std::string> decode(const Data& data) {
        if (!converter) return std::nullopt;
        UErrorCode status = U_ZERO_ERROR;
        UConverter* utf8 = ucnv_open("UTF-8", &status);
        if (U_FAILURE(status)) return std::nullopt;
        std::string out(data.length() * 3 + 4, '\0');
        char* target = out.data();
        const char* source = reinterpret_cast<const char*>(data.bytes());
        ucnv_reset(converter);
        ucnv_convertEx(utf8, converter, &target, out.data() + out.size(), &source, source + data.length(),
                       nullptr, nullptr, nullptr, nullptr, true, true, &status);
        ucnv_close(utf8);
        if (U_FAILURE(status)) return std::nullopt;
        out.resize(size_t(target - out.data()));
        return out;
    }

    // UTF-8 -> bytes in the character set.
    std::optional<Data> encode(const std::string& text) {
        if (!converter) return std::nullopt;
        UErrorCode status = U_ZERO_ERROR;
        UConverter* utf8 = ucnv_open("UTF-8", &status);
        if (U_FAILURE(status)) return std::nullopt;
        ucnv_setToUCallBack(utf8, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
        std::vector<uint8_t> out(text.size() * 4 + 8);
        char* target = reinterpret_cast<char*>(out.data());
        const char* source = text.data();
        ucnv_reset(converter);
        ucnv_convertEx(converter, utf8, &target, reinterpret_cast<char*>(out.data()) + out.size(), &source,
                       source + text.size(), nullptr, nullptr, nullptr, nullptr, true, true, &status);
        ucnv_close(utf8);
        if (U_FAILURE(status)) return std::nullopt;
        out.resize(size_t(target - reinterpret_cast<char*>(out.data())));
        return Data(std::move(out));
    }

    std::string name() const {
        UErrorCode status = U_ZERO_ERROR;
        const char* name = converter ? ucnv_getName(converter, &status) : nullptr;
        return name && U_SUCCESS(status) ? name : "UTF-8";
    }

    UConverter* converter = nullptr;
};

}  // namespace

HCHTTPSessionManagerPtr sessionManager(const UIWebViewPtr& webView) {
    UIAssertMainThread();
    auto own = webView->associatedObject<HCHTTPSessionManager>(&kSessionManagerKey);
    return own ? own : defaultSessionManager();
}

void setSessionManager(const UIWebViewPtr& webView, HCHTTPSessionManagerPtr manager) {
    UIAssertMainThread();
    webView->setAssociatedObject(&kSessionManagerKey, manager);
}

std::shared_ptr<HCHTTPResponseSerializer> responseSerializer(const UIWebViewPtr& webView) {
    UIAssertMainThread();
    auto own = webView->associatedObject<HCHTTPResponseSerializer>(&kResponseSerializerKey);
    return own ? own : defaultResponseSerializer();
}

void setResponseSerializer(const UIWebViewPtr& webView,
                           std::shared_ptr<HCHTTPResponseSerializer> serializer) {
    UIAssertMainThread();
    webView->setAssociatedObject(&kResponseSerializerKey, serializer);
}

NSURLSessionDataTaskPtr hc_URLSessionTask(const UIWebViewPtr& webView) {
    UIAssertMainThread();
    return webView->associatedObject<NSURLSessionDataTask>(&kURLSessionTaskKey);
}

void hc_setURLSessionTask(const UIWebViewPtr& webView, NSURLSessionDataTaskPtr task) {
    UIAssertMainThread();
    webView->setAssociatedObject(&kURLSessionTaskKey, task);
}

namespace {

// What a load shows for the bytes received, possibly naming their text encoding; an error instead fails
// the load.
using Transform = std::function<Data(const NSHTTPURLResponsePtr& response, const Data& data,
                                     std::string* textEncodingName, NSErrorPtr* error)>;

void load(const UIWebViewPtr& webView, const NSURLRequest& request, const std::string& MIMEType,
          const std::string& textEncodingName, NSProgressPtr* progress, Transform transform,
          HCWebViewFailureBlock failure) {
    UIAssertMainThread();
    if (!webView) return;
    if (auto previous = hc_URLSessionTask(webView)) {
        const auto state = previous->state();
        if (state == NSURLSessionTaskState::Running || state == NSURLSessionTaskState::Suspended)
            previous->cancel();
    }
    hc_setURLSessionTask(webView, nullptr);

    std::weak_ptr<UIWebView> weakView = webView;
    // The load ended without a page: the failure block, then the delegate, which hears only of the view's
    // current load (a replaced one fails with the cancellation while its successor is under way).
    auto failed = [weakView, failure](const NSURLSessionDataTaskPtr& task, const NSErrorPtr& error) {
        if (weakView.expired()) return;
        if (failure) failure(error);
        auto view = weakView.lock();
        if (!view || hc_URLSessionTask(view) != task) return;
        if (auto delegate = view->delegate()) delegate->didFailLoadWithError(*view, error);
    };
    auto succeeded = [weakView, MIMEType, textEncodingName, transform, failed](
                         const NSURLSessionDataTaskPtr& task, const std::optional<Value>& responseObject) {
        // A view that is gone, or has moved on to another load, takes nothing from this one.
        auto current = weakView.lock();
        if (!current || hc_URLSessionTask(current) != task) return;
        current.reset();
        Data received;
        if (responseObject && !responseObject->isNull()) {
            const Data* bytes = responseObject->asData();
            if (!bytes) {
                failed(task,
                       NSError::withDescription(NSURLErrorDomain, -1016,
                                                "The reply was decoded into something other than bytes."));
                return;
            }
            received = *bytes;
        }
        auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(task ? task->response() : nullptr);
        NSErrorPtr error;
        std::string encoding = textEncodingName;
        Data shown = transform ? transform(response, received, &encoding, &error) : received;
        if (error) {
            failed(task, error);
            return;
        }
        auto view = weakView.lock();
        if (!view) return;
        view->loadData(shown, MIMEType, encoding, task ? task->currentRequest().URL() : nullptr);
        if (auto delegate = view->delegate()) delegate->webViewDidFinishLoad(*view);
    };

    auto manager = sessionManager(webView);
    const std::string URLString = request.URL() ? request.URL()->absoluteString() : std::string();
    // Made without starting it, so that its progress is read before a quick reply can end the task.
    auto task = manager->dataTaskWithHTTPMethod(
        "GET", URLString, Value(), nullptr, HCHTTPSessionManager::ProgressBlock(), succeeded,
        [failed](const NSURLSessionDataTaskPtr& task, const NSErrorPtr& error) { failed(task, error); });
    hc_setURLSessionTask(webView, task);
    if (progress) *progress = task ? manager->downloadProgressForTask(task) : nullptr;
    if (task) task->resume();
    if (auto delegate = webView->delegate()) delegate->webViewDidStartLoad(*webView);
}

}  // namespace

void loadRequest(const UIWebViewPtr& webView, const NSURLRequest& request, const std::string& MIMEType,
                 const std::string& textEncodingName, NSProgressPtr* progress,
                 HCWebViewDataSuccessBlock success, HCWebViewFailureBlock failure) {
    Transform transform;
    if (success) {
        transform = [success = std::move(success)](const NSHTTPURLResponsePtr& response, const Data& data,
                                                   std::string*,
                                                   NSErrorPtr*) { return success(response, data); };
    }
    load(webView, request, MIMEType, textEncodingName, progress, std::move(transform), std::move(failure));
}

void loadRequest(const UIWebViewPtr& webView, const NSURLRequest& request, NSProgressPtr* progress,
                 HCWebViewStringSuccessBlock success, HCWebViewFailureBlock failure) {
    auto transform = [success = std::move(success)](const NSHTTPURLResponsePtr& response, const Data& data,
                                                    std::string* textEncodingName,
                                                    NSErrorPtr* error) -> Data {
        Converter converter(response ? response->textEncodingName() : std::nullopt);
        auto text = converter.decode(data);
        if (!text) {
            *error = stringError(HCWebViewStringDecodingError,
                                 "The reply could not be read in its character set.");
            return Data();
        }
        if (success) *text = success(response, *text);
        auto encoded = converter.encode(*text);
        if (!encoded) {
            *error = stringError(HCWebViewStringEncodingError,
                                 "The text could not be written in the reply's character set.");
            return Data();
        }
        // The page is told the character set its bytes are now in.
        *textEncodingName = converter.name();
        return *encoded;
    };
    load(webView, request, "", "", progress, std::move(transform), std::move(failure));
}
