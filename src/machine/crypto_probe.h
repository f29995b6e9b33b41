// Whether the default key container of the base cryptographic provider is usable.
#pragma once

int CheckCryptographicClient();
