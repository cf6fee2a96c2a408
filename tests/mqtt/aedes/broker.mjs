// SPDX-License-Identifier: MIT
// aedes, the broker of Node-RED set-ups, as the MQTT tests' second broker:
// node broker.mjs PORT listens on 127.0.0.1 and says "listening PORT" once
// it does; what clients do goes to stderr.
import net from 'node:net'
import { Aedes } from 'aedes'

const broker = await Aedes.createBroker()
const log = (...what) => console.error(new Date().toISOString(), ...what)
broker.on('clientReady', client => log('connected', client.id))
broker.on('clientDisconnect', client => log('disconnected', client.id))
broker.on('keepaliveTimeout', client => log('keep-alive ended', client.id))
broker.on('publish', (packet, client) => {
  if (client) log('publish', client.id, packet.topic, packet.retain ? 'retained' : '')
})
const server = net.createServer(broker.handle)
server.listen(Number(process.argv[2]), '127.0.0.1', () => console.log('listening', server.address().port))
