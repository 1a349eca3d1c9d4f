#pragma once
// Empties a value and gives its memory back at once. Assigning {} does not
// always: a string assigned an empty one keeps its buffer, and a record of
// strings keeps every one of them.

#include <utility>

template <typename T>
void GiveBack(T& value) {
    T dropped = std::move(value);  // takes the buffers, freed as it goes
    value = T{};
}
