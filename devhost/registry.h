#pragma once
// Host-side facts about a device that its class has no member for: whether it has
// published since it was created, and the record type it published last. Kept by device
// address; a device's entry goes away in its destructor, so a new device at a reused
// address starts clean.
class TXQVDevice;

namespace devhost::detail {

void note_published(const TXQVDevice* dev, int record_type);
bool has_published(const TXQVDevice* dev);
// The record type of the device's last SendSP; 0 when it has not published.
int last_record_type(const TXQVDevice* dev);
void forget(const TXQVDevice* dev);

}  // namespace devhost::detail
