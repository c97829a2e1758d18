/**
 * Typed media records: what a publisher sends and what the media readers give. They hold Java memory only
 * (arrays and buffers), check their arguments when made, and never carry a native address: the publisher builds
 * whatever native form it needs for the length of one call.
 */
package tessora.streaming.media;
