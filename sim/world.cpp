// The world's library is assembled from its parts under sim/; this unit keeps it non-empty.
namespace sim {
int WorldVersion() {
    return 1;
}
} // namespace sim
