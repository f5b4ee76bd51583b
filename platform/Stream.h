// Seekable byte streams (file and memory). Filled in with the network client.
#pragma once
