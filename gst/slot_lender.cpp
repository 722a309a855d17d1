#include "slot_lender.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <vector>

#include "common/mutex.h"

GST_DEBUG_CATEGORY_STATIC(vexo_lender_debug);
#define GST_CAT_DEFAULT vexo_lender_debug

namespace {

// A memory viewing a frame: the library's slot while it is lent, afterwards its own copy.
struct SlotMemory {
    GstMemory mem;
    uint8_t* data;    // what a map returns: the slot or `own`
    uint8_t* own;     // copy storage, kept with the memory for its next use
    size_t capacity;  // bytes at `own`
    size_t reserve;   // bytes a copy of this frame reserves
    int maps;
};

struct LenderState {
    vexo::Mutex lock;
    std::condition_variable unmapped;
    // The memory that views the lent slot, until it is copied or released.
    SlotMemory* onSlot VEXO_GUARDED_BY(lock) = nullptr;
    bool lent VEXO_GUARDED_BY(lock) = false;
    std::vector<SlotMemory*> spares VEXO_GUARDED_BY(lock);
    std::atomic<uint64_t> copies{0};
};

struct VexoSlotAllocator {
    GstAllocator parent;
    LenderState* state;
};

struct VexoSlotAllocatorClass {
    GstAllocatorClass parent_class;
};

GType vexo_slot_allocator_get_type();
G_DEFINE_TYPE(VexoSlotAllocator, vexo_slot_allocator, GST_TYPE_ALLOCATOR)

LenderState& stateOf(GstAllocator* allocator) {
    return *reinterpret_cast<VexoSlotAllocator*>(allocator)->state;
}

SlotMemory* slotMemory(GstMemory* mem) {
    return reinterpret_cast<SlotMemory*>(mem);
}

gpointer mapMemory(GstMemory* mem, gsize, GstMapFlags) {
    LenderState& s = stateOf(mem->allocator);
    vexo::MutexLock lock(s.lock);
    SlotMemory* m = slotMemory(mem);
    ++m->maps;
    return m->data;
}

void unmapMemory(GstMemory* mem) {
    LenderState& s = stateOf(mem->allocator);
    vexo::MutexLock lock(s.lock);
    SlotMemory* m = slotMemory(mem);
    if (--m->maps == 0 && s.onSlot == m) s.unmapped.notify_all();
}

GstMemory* copyMemory(GstMemory* mem, gssize offset, gssize size) {
    if (size < 0) size = static_cast<gssize>(mem->size) - offset;
    GstMemory* copy = gst_allocator_alloc(nullptr, static_cast<gsize>(size), nullptr);
    GstMapInfo out;
    if (!copy || !gst_memory_map(copy, &out, GST_MAP_WRITE)) {
        if (copy) gst_memory_unref(copy);
        return nullptr;
    }
    LenderState& s = stateOf(mem->allocator);
    {
        vexo::MutexLock lock(s.lock);
        std::memcpy(out.data, slotMemory(mem)->data + mem->offset + offset,
                    static_cast<size_t>(size));
    }
    gst_memory_unmap(copy, &out);
    return copy;
}

// Never called: the memories are made with GST_MEMORY_FLAG_NO_SHARE, so GStreamer copies
// instead of sharing a part.
GstMemory* shareMemory(GstMemory*, gssize, gssize) {
    return nullptr;
}

gboolean isSpan(GstMemory*, GstMemory*, gsize*) {
    return FALSE;
}

GstMemory* allocNothing(GstAllocator*, gsize, GstAllocationParams*) {
    return nullptr;
}

// The last reference to a memory went: a memory on the slot gives the slot back. The memory is
// kept for reuse (the leaks tracer sees it freed; the next use initialises it afresh).
void freeMemory(GstAllocator* allocator, GstMemory* mem) {
    LenderState& s = stateOf(allocator);
    vexo::MutexLock lock(s.lock);
    SlotMemory* m = slotMemory(mem);
    if (s.onSlot == m) s.onSlot = nullptr;
    m->data = nullptr;
    m->maps = 0;
    s.spares.push_back(m);
}

void finalizeAllocator(GObject* object) {
    LenderState* state = reinterpret_cast<VexoSlotAllocator*>(object)->state;
    {
        vexo::MutexLock lock(state->lock);
        for (SlotMemory* m : state->spares) {
            g_free(m->own);
            g_free(m);
        }
    }
    delete state;
    G_OBJECT_CLASS(vexo_slot_allocator_parent_class)->finalize(object);
}

void vexo_slot_allocator_class_init(VexoSlotAllocatorClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = finalizeAllocator;
    GST_ALLOCATOR_CLASS(klass)->alloc = allocNothing;
    GST_ALLOCATOR_CLASS(klass)->free = freeMemory;
    GST_DEBUG_CATEGORY_INIT(vexo_lender_debug, "vexolender", 0, "vexosrc's lent frame slots");
}

void vexo_slot_allocator_init(VexoSlotAllocator* self) {
    self->state = new LenderState;
    GstAllocator* allocator = GST_ALLOCATOR(self);
    allocator->mem_type = "VexoSlot";
    allocator->mem_map = mapMemory;
    allocator->mem_unmap = unmapMemory;
    allocator->mem_copy = copyMemory;
    allocator->mem_share = shareMemory;
    allocator->mem_is_span = isSpan;
    GST_OBJECT_FLAG_SET(allocator, GST_ALLOCATOR_FLAG_CUSTOM_ALLOC);
}

// Empty buffers that carry a lent memory: returning to the pool lets go of the memory, and the
// buffer waits there without it for the next frame.
struct VexoLendPool {
    GstBufferPool parent;
};

struct VexoLendPoolClass {
    GstBufferPoolClass parent_class;
};

GType vexo_lend_pool_get_type();
G_DEFINE_TYPE(VexoLendPool, vexo_lend_pool, GST_TYPE_BUFFER_POOL)

void resetBuffer(GstBufferPool* pool, GstBuffer* buffer) {
    gst_buffer_remove_all_memory(buffer);
    GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_TAG_MEMORY);
    GST_BUFFER_POOL_CLASS(vexo_lend_pool_parent_class)->reset_buffer(pool, buffer);
}

void vexo_lend_pool_class_init(VexoLendPoolClass* klass) {
    GST_BUFFER_POOL_CLASS(klass)->reset_buffer = resetBuffer;
}

void vexo_lend_pool_init(VexoLendPool*) {}

}  // namespace

namespace vexo::gst {

SlotLender::SlotLender()
    : allocator_(GST_ALLOCATOR(g_object_new(vexo_slot_allocator_get_type(), nullptr))) {
    gst_object_ref_sink(allocator_);
}

SlotLender::~SlotLender() {
    dropPool();
    gst_object_unref(allocator_);
}

void SlotLender::dropPool() {
    if (!pool_) return;
    gst_buffer_pool_set_active(pool_, FALSE);
    gst_object_unref(pool_);
    pool_ = nullptr;
}

GstBuffer* SlotLender::lend(const uint8_t* slot, size_t bytes, size_t copyBytes) {
    if (!pool_) {
        pool_ = GST_BUFFER_POOL(g_object_new(vexo_lend_pool_get_type(), nullptr));
        gst_object_ref_sink(pool_);
        GstStructure* config = gst_buffer_pool_get_config(pool_);
        gst_buffer_pool_config_set_params(config, nullptr, 0, 0, 0);
        if (!gst_buffer_pool_set_config(pool_, config) ||
            !gst_buffer_pool_set_active(pool_, TRUE)) {
            dropPool();
            return nullptr;
        }
    }
    GstBuffer* buffer = nullptr;
    if (gst_buffer_pool_acquire_buffer(pool_, &buffer, nullptr) != GST_FLOW_OK) return nullptr;

    LenderState& s = stateOf(allocator_);
    SlotMemory* m = nullptr;
    {
        vexo::MutexLock lock(s.lock);
        if (!s.spares.empty()) {
            m = s.spares.back();
            s.spares.pop_back();
        }
    }
    if (!m) m = g_new0(SlotMemory, 1);
    m->data = const_cast<uint8_t*>(slot);
    m->reserve = copyBytes < bytes ? bytes : copyBytes;
    m->maps = 0;
    gst_memory_init(&m->mem, GST_MEMORY_FLAG_NO_SHARE, allocator_, nullptr, bytes, 0, 0, bytes);
    {
        vexo::MutexLock lock(s.lock);
        s.onSlot = m;
        s.lent = true;
    }
    gst_buffer_append_memory(buffer, &m->mem);
    return buffer;
}

SlotLender::Reclaim SlotLender::reclaim(const std::atomic<bool>* interrupt) {
    LenderState& s = stateOf(allocator_);
    vexo::MutexLock lock(s.lock);
    if (!s.lent) return Reclaim::Free;
    auto started = std::chrono::steady_clock::now();
    while (s.onSlot && s.onSlot->maps > 0) {
        if (interrupt && interrupt->load()) return Reclaim::Interrupted;
        s.unmapped.wait_for(lock.native(), std::chrono::milliseconds(10));
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(1)) {
            GST_WARNING("a buffer of the lent frame stays mapped: the capture waits for it");
            started = std::chrono::steady_clock::now();
        }
    }
    s.lent = false;
    SlotMemory* m = s.onSlot;
    if (!m) return Reclaim::Free;
    s.onSlot = nullptr;
    if (m->capacity < m->reserve) {
        g_free(m->own);
        m->own = static_cast<uint8_t*>(g_malloc(m->reserve));
        m->capacity = m->reserve;
    }
    std::memcpy(m->own, m->data, m->mem.maxsize);
    m->data = m->own;
    ++s.copies;
    return Reclaim::Copied;
}

bool SlotLender::lent() const {
    LenderState& s = stateOf(allocator_);
    vexo::MutexLock lock(s.lock);
    return s.lent;
}

uint64_t SlotLender::copies() const {
    return stateOf(allocator_).copies.load();
}

void SlotLender::resetCopies() {
    stateOf(allocator_).copies = 0;
}

}  // namespace vexo::gst
